( conformance: refused )
( A cycle after another motion mode needs R again )
G21 G90 G17 G94
G0 X0 Y0 Z10
G99 G81 X10 Y10 Z-2 R2 F300
G82 X20 Z-2 P0.2
G80
M2
