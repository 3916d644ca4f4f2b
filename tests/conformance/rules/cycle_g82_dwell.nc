( G82: dwell at the bottom of each hole )
G21 G90 G17 G94
G0 X0 Y0 Z5
G99 G82 X5 Y5 Z-2 R1 P0.3 F400
X15 P0.1
G80
M2
