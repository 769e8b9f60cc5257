#!/usr/bin/env python3
# Tests of hardware/synth/pnr-summary, the judge of nextpnr-ecp5's report, on
# reports shaped like those nextpnr 0.11 writes (--report).
import contextlib
import copy
import io
import importlib.machinery
import importlib.util
import json
import os
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
_loader = importlib.machinery.SourceFileLoader(
    "pnr_summary", os.path.join(HERE, "..", "synth", "pnr-summary"))
_spec = importlib.util.spec_from_loader("pnr_summary", _loader)
pnr_summary = importlib.util.module_from_spec(_spec)
_loader.exec_module(pnr_summary)


def step(delay):
    return {"delay": delay, "from": {"cell": "c", "port": "Q"}, "to": {"cell": "d", "port": "A"},
            "type": "routing"}


# Trimmed from a real run of the ULX3S design.
REPORT = {
    "fmax": {
        "$glbnet$sys_clk": {"achieved": 128.2, "constraint": 50},
        "$glbnet$uart.tck": {"achieved": 74.3, "constraint": 25},
    },
    "utilization": {
        "TRELLIS_COMB": {"available": 24288, "used": 895},
        "TRELLIS_FF": {"available": 24288, "used": 317},
        "TRELLIS_RAMW": {"available": 3036, "used": 16},
    },
    "critical_paths": [
        {"from": "posedge $glbnet$uart.tck", "to": "posedge $glbnet$uart.tck",
         "path": [step(5.0), step(8.0)]},
        {"from": "<async>", "to": "posedge $glbnet$uart.tck", "path": [step(3.0), step(7.6)]},
        {"from": "<async>", "to": "posedge $glbnet$sys_clk", "path": [step(30.0)]},
        {"from": "negedge $glbnet$uart.tck", "to": "<async>", "path": [step(40.0)]},
    ],
}
CLOCKS = {"sys_clk": 50, "uart.tck": 25}


def changed(edit):
    report = copy.deepcopy(REPORT)
    edit(report)
    return report


class SUMMARIZE(unittest.TestCase):
    def test_verdicts(self):
        def set_fmax(net, field, value):
            return lambda r: r["fmax"][net].__setitem__(field, value)

        def set_async(delay):
            return lambda r: r["critical_paths"][1].__setitem__("path", [step(delay)])

        cases = [
            # name, report, met, text expected in the output
            ("all met", REPORT, True, "uart.tck: Fmax 74.3 MHz, required 25 MHz: ok"),
            ("just met", changed(set_fmax("$glbnet$sys_clk", "achieved", 50.0)), True,
             "sys_clk: Fmax 50.0 MHz, required 50 MHz: ok"),
            ("sys_clk too slow", changed(set_fmax("$glbnet$sys_clk", "achieved", 49.9)), False,
             "sys_clk: Fmax 49.9 MHz, required 50 MHz: FAIL"),
            # nextpnr's default when the LPF's FREQUENCY NET named no net.
            ("TCK left at the default constraint",
             changed(set_fmax("$glbnet$uart.tck", "constraint", 12)), False,
             "constrained to 12 MHz only"),
            ("TCK missing", changed(lambda r: r["fmax"].pop("$glbnet$uart.tck")), False,
             "uart.tck: no such clock in the report: FAIL"),
            ("clock not on a global", changed(lambda r: r["fmax"].__setitem__(
                "sys_clk", r["fmax"].pop("$glbnet$sys_clk"))), True, "sys_clk: Fmax 128.2"),
            # Only the unclocked paths into TCK count, not those into sys_clk.
            ("JTAGG paths at half a period", changed(set_async(20.0)), True, "20.0 ns"),
            ("JTAGG paths too long", changed(set_async(20.1)), False,
             "20.1 ns, half a TCK period 20.0 ns: FAIL"),
        ]
        for name, report, met, text in cases:
            with self.subTest(name):
                lines, ok = pnr_summary.summarize(report, CLOCKS, "uart.tck", "top")
                self.assertEqual(ok, met, lines)
                self.assertIn(text, "\n".join(lines))

    def test_figures(self):
        lines, _ = pnr_summary.summarize(REPORT, CLOCKS, "uart.tck", "top")
        self.assertEqual(lines[0], "top: 895 LUTs (of 24288), 317 FFs, 16 LUT RAM blocks")
        self.assertIn("JTAGG outputs to uart.tck logic (untimed by nextpnr): 10.6 ns", lines[-1])


class MAIN(unittest.TestCase):
    def run_main(self, content, *clocks):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "report.json")
            with open(path, "w", encoding="utf-8") as report_file:
                report_file.write(content)
            args = [path, "--tck", "uart.tck"]
            for clock in clocks or ("sys_clk=50", "uart.tck=25"):
                args += ["--clock", clock]
            with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
                return pnr_summary.main(args)

    def test_exit_status(self):
        cases = [
            ("met", json.dumps(REPORT), 0),
            ("missed", json.dumps(changed(lambda r: r["fmax"]["$glbnet$uart.tck"].__setitem__(
                "achieved", 20.0))), 1),
            ("cut short", json.dumps(REPORT)[:100], 2),
            ("not a report", json.dumps({"fmax": []}), 2),
        ]
        for name, content, status in cases:
            with self.subTest(name):
                self.assertEqual(self.run_main(content), status)

    def test_bad_clock_argument(self):
        for clock in ("sys_clk", "sys_clk=", "=50", "sys_clk=fast", "sys_clk=0"):
            with self.subTest(clock), self.assertRaises(SystemExit):
                self.run_main(json.dumps(REPORT), clock)


if __name__ == "__main__":
    unittest.main()
