// Clock-domain crossing between TCK and the system clock, which are unrelated:
// a value of the source domain that may change by any amount at once, seen in
// the destination domain: it is held stable while a request toggle crosses
// and its acknowledgement comes back. The destination's copy lags; it never
// shows a value the source did not have. `src_value` should be the value the
// source register takes at this edge, so that a change is published at the
// same edge even if the source clock stops right after.
module cdc_publish #(
    parameter W = 7
) (
    input  wire         src_clk,
    input  wire [W-1:0] src_value,
    input  wire         dst_clk,
    output reg  [W-1:0] dst_value = {W{1'b0}}
);
    reg [W-1:0] held = {W{1'b0}};
    reg         request = 1'b0;
    reg         acknowledge = 1'b0;
    (* async_reg = "true" *) reg [1:0] request_sync = 2'b00;
    (* async_reg = "true" *) reg [1:0] acknowledge_sync = 2'b00;

    always @(posedge src_clk) begin
        acknowledge_sync <= {acknowledge_sync[0], acknowledge};
        if (request == acknowledge_sync[1] && held != src_value) begin
            held <= src_value;
            request <= ~request;
        end
    end

    always @(posedge dst_clk) begin
        request_sync <= {request_sync[0], request};
        if (request_sync[1] != acknowledge) begin
            dst_value <= held;
            acknowledge <= request_sync[1];
        end
    end
endmodule
