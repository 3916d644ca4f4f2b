( G61: exact path; the corners are not rounded )
G21 G90 G17 G94 G61
G0 X0 Y0 Z1
G1 X20 F1500
Y20
X0
G2 X-10 Y10 I0 J-10
G1 Y0
M2
