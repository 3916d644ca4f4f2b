( G86 with the spindle not turning: refused )
( conformance: refused )
G21 G90 G17 G94
G0 X0 Y0 Z8
G99 G86 X5 Y5 Z-2 R2 P0.2 F300
G80
M2
