// Clock-domain crossing between TCK and the system clock, which are unrelated:
// a counter of the source domain that changes by at most one per source
// clock, seen in the destination domain (two flip-flops, then back to binary).
module cdc_gray_pointer #(
    parameter W = 7
) (
    input  wire         src_clk,
    input  wire [W-1:0] src_value,
    input  wire         dst_clk,
    output wire [W-1:0] dst_value
);
    reg [W-1:0] src_gray = {W{1'b0}};
    (* async_reg = "true" *) reg [W-1:0] sync1 = {W{1'b0}};
    (* async_reg = "true" *) reg [W-1:0] sync2 = {W{1'b0}};

    always @(posedge src_clk) src_gray <= src_value ^ (src_value >> 1);

    always @(posedge dst_clk) begin
        sync1 <= src_gray;
        sync2 <= sync1;
    end

    genvar i;
    generate
        for (i = 0; i < W; i = i + 1) begin : to_binary
            assign dst_value[i] = ^(sync2 >> i);
        end
    endgenerate
endmodule
