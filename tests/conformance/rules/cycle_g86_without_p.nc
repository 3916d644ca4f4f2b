( G86 needs P, the dwell: refused without it )
( conformance: refused )
G21 G90 G17 G94
S3000 M3
G0 X0 Y0 Z8
G99 G86 X5 Y5 Z-2 R2 F300
G80
M5
M2
