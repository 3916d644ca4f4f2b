( G98 returns to the level before the series of cycles began, even when the series began under G99 or with another cycle )
G21 G90 G17 G94
G0 X0 Y0 Z10
G99 G81 X10 Y10 Z-2 R2 F300
X20
G98 G83 X30 Y10 Z-4 R2 Q1.5
G82 X30 Y20 Z-2 R2 P0.1
G80
M2
