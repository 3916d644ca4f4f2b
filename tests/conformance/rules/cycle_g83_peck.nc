( G83: peck drilling, out to R between pecks and back down to just above the last depth )
G21 G90 G17 G94
G0 X0 Y0 Z10
G98 G83 X5 Y5 Z-4 R2 Q1.5 F400
X15 Q2
G80
M2
