( G81 with G98 started above R: back to the start level after each hole )
G21 G90 G17 G94
G0 X0 Y0 Z10
G98 G81 X10 Y10 Z-3 R2 F300
X20
Y20 Z-5
G80
G0 Z10
M2
