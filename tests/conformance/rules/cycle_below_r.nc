( A cycle started below R: up to R first, once; with G98 the start level is below R, so back to R )
G21 G90 G17 G94
G0 X0 Y0 Z-1
G98 G81 X10 Y10 Z-4 R3 F300
X20
G80
G0 Z10
M2
