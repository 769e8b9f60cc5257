cmake_minimum_required(VERSION 3.25)
# Turns one scdoc page into roff:
#   cmake -DSCDOC=scdoc -DINPUT=page.1.scd -DOUTPUT=page.1 -DVERSION=1.0 \
#         -DPREFIX=/usr/local -DBINDIR=/usr/local/bin \
#         [-DEXAMPLES=DIR -DSYSTEM_UNIT_DIR=DIR -DUSER_UNIT_DIR=DIR] -P scdoc-to-man.cmake
# @VERSION@, @PREFIX@, @BINDIR@, @EXAMPLES@ (the example boards),
# @SYSTEM_UNIT_DIR@ and @USER_UNIT_DIR@ in the page become those values (the
# installed places the pages name; the last three default to the places
# below PREFIX that a plain install uses). The page's date is that of
# SOURCE_DATE_EPOCH when it is set (scdoc reads it), so that a package build
# is reproducible. scdoc writes a paragraph macro
# before and after every heading and block, which man page checkers report as
# empty paragraphs; those are dropped here, so the page reads the same and
# lints clean.
foreach(variable SCDOC INPUT OUTPUT VERSION PREFIX BINDIR)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "scdoc-to-man.cmake: -D${variable}=... is missing")
  endif()
endforeach()

if(NOT DEFINED EXAMPLES)
  set(EXAMPLES "${PREFIX}/share/doc/tolvan-terminal/boards")
endif()
if(NOT DEFINED SYSTEM_UNIT_DIR)
  set(SYSTEM_UNIT_DIR "${PREFIX}/lib/systemd/system")
endif()
if(NOT DEFINED USER_UNIT_DIR)
  set(USER_UNIT_DIR "${PREFIX}/lib/systemd/user")
endif()

file(READ "${INPUT}" text)
foreach(variable VERSION PREFIX BINDIR EXAMPLES SYSTEM_UNIT_DIR USER_UNIT_DIR)
  string(REPLACE "@${variable}@" "${${variable}}" text "${text}")
endforeach()
set(source "${OUTPUT}.scd")
file(WRITE "${source}" "${text}")
execute_process(COMMAND "${SCDOC}" INPUT_FILE "${source}" OUTPUT_VARIABLE roff ERROR_VARIABLE problem
                RESULT_VARIABLE status)
file(REMOVE "${source}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "scdoc could not read ${INPUT}: ${problem}")
endif()

# A paragraph macro directly after a heading, or directly before a heading,
# another paragraph or the end of the page, makes no paragraph; one before the
# end of an indented block belongs after it, where it parts this block from
# the next. Repeated until nothing changes: such macros come in runs.
set(previous "")
while(NOT roff STREQUAL previous)
  set(previous "${roff}")
  string(REGEX REPLACE "(\n\\.S[HS] [^\n]*)\n\\.P\n" "\\1\n" roff "${roff}")
  string(REGEX REPLACE "\n\\.P\n(\\.(SH|SS|P)[ \n])" "\n\\1" roff "${roff}")
  string(REGEX REPLACE "\n\\.P\n\\.RE\n" "\n.RE\n.P\n" roff "${roff}")
  string(REGEX REPLACE "\n\\.P\n$" "\n" roff "${roff}")
  string(REGEX REPLACE "^\\.P\n" "" roff "${roff}")
endwhile()

# scdoc turns hyphenation off before .TH, which turns it on again: off after
# it, so that names such as libjtag_corvex are never broken at a hyphen.
string(REGEX REPLACE "(\n\\.TH [^\n]*\n)" "\\1.nh\n" roff "${roff}")

# Text lines in fill mode longer than 80 bytes (scdoc's font escapes make the
# page's lines longer than the source's) are broken at a blank, which in fill
# mode reads the same. The text is cut into lines as a CMake list, so control
# characters stand in meanwhile for the characters a list treats apart
# (backslash, semicolon, brackets).
string(ASCII 1 semicolon)
string(ASCII 2 open_bracket)
string(ASCII 3 close_bracket)
string(ASCII 4 backslash)
string(REPLACE "\\" "${backslash}" roff "${roff}")
string(REPLACE ";" "${semicolon}" roff "${roff}")
string(REPLACE "[" "${open_bracket}" roff "${roff}")
string(REPLACE "]" "${close_bracket}" roff "${roff}")
string(REPLACE "\n" ";" lines "${roff}")
set(result "")
set(no_fill FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^\\.nf")
    set(no_fill TRUE)
  elseif(line MATCHES "^\\.fi")
    set(no_fill FALSE)
  endif()
  string(LENGTH "${line}" length)
  while(NOT no_fill AND NOT line MATCHES "^[.']" AND length GREATER 80)
    # The last blank within 80 bytes that is not escaped (unbreakable).
    string(SUBSTRING "${line}" 0 81 head)
    set(blank -1)
    while(TRUE)
      string(FIND "${head}" " " blank REVERSE)
      if(blank LESS 1)
        break()
      endif()
      math(EXPR before "${blank} - 1")
      string(SUBSTRING "${head}" ${before} 1 previous_character)
      if(NOT previous_character STREQUAL backslash)
        break()
      endif()
      string(SUBSTRING "${head}" 0 ${before} head)
    endwhile()
    if(blank LESS 1)
      break()
    endif()
    string(SUBSTRING "${line}" 0 ${blank} first)
    math(EXPR rest_start "${blank} + 1")
    string(SUBSTRING "${line}" ${rest_start} -1 line)
    # A continued line must not start like a request.
    if(line MATCHES "^[.']")
      set(line "${backslash}&${line}")
    endif()
    string(APPEND result "${first}\n")
    string(LENGTH "${line}" length)
  endwhile()
  string(APPEND result "${line}\n")
endforeach()
string(REGEX REPLACE "\n$" "" roff "${result}")
string(REPLACE "${semicolon}" ";" roff "${roff}")
string(REPLACE "${open_bracket}" "[" roff "${roff}")
string(REPLACE "${close_bracket}" "]" roff "${roff}")
string(REPLACE "${backslash}" "\\" roff "${roff}")
file(WRITE "${OUTPUT}" "${roff}")
