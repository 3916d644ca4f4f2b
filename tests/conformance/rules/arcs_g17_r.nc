( Radius arcs in G17: positive R the short way, negative R the long way )
G21 G90 G17 G94
G0 X0 Y0 Z1
G1 Z-0.5 F300
G2 X20 Y0 R10 F800
G3 X30 Y10 R10
G2 X40 Y0 R-10
G3 X20 Y0 R-12
G2 X10 Y5 R30
M2
