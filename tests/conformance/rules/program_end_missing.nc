( A program with neither M2 nor M30 nor a closing percent sign )
( conformance: refused )
G21 G90 G17 G94
G0 X10 Y10 Z1
G1 X20 F900
