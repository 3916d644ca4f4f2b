( G64 P: corners rounded within P; G64 without P: the machine's tolerance )
G21 G90 G17 G94
G0 X0 Y0 Z1
G64 P0.5
G1 X20 Y0 F2000
X20 Y20
X40 Y0
G64 P0.05
X40 Y20
X60 Y0
G64
X60 Y20
X80 Y0
M2
