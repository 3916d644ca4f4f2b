( Helices in G18, where Y moves with the angle, and in G19, where X does )
G21 G90 G94
G0 X0 Y0 Z0
G18 G2 X20 Z0 Y-4 I10 K0 F600
G3 X0 Z0 Y-8 I-10 K0
G19 G0 X0 Y0 Z0
G2 Y20 Z0 X6 J10 K0
G3 Y0 Z0 X12 R10
G17 G0 Z5
M2
