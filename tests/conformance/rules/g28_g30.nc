( G28 and G30: to the stored position, directly or through an intermediate point, one axis at a time )
G21 G90 G17 G94
G0 X10 Y10 Z5
G28
G0 X10 Y-10 Z5
G28 X20 Y20
G0 X0 Y0 Z0
G91 G28 Z5
G90 G30
G0 X5 Y5 Z5
G30 Z10
G0 X15 Y15
G28.1
G0 X0 Y0
G28
G0 X30 Y30 Z8
G30.1
G0 X0 Y0
G30
M2
