( G92: the current point gets the given coordinates; G91 makes no difference; G92.1 clears )
G21 G90 G17 G94
G0 X20 Y10 Z5
G92 X0 Y0
G0 X10 Y10
G91 G92 Z0
G90 G0 Z-5
G1 X0 F500
G92.1
G0 X0 Y0 Z5
M2
