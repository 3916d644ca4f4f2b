( G86: dwell, spindle stop, rapid out, spindle on again )
G21 G90 G17 G94
S3000 M3
G0 X0 Y0 Z8
G99 G86 X5 Y5 Z-2 R2 P0.2 F300
X10
G80
M5
M2
