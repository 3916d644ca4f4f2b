( G73: chip breaking, a short rapid back up between pecks )
G21 G90 G17 G94
G0 X0 Y0 Z10
G99 G73 X5 Y5 Z-3 R1 Q0.8 F400
X15
G80
G0 Z10
M2
