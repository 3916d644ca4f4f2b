( several parts in one file, each ending in M30: only the first runs )
G21 G90 G17 G94
( part 1 )
G0 Z3
G0 X5 Y5
G1 Z-0.5 F200
G1 X25 Y5 F900
G1 X25 Y25
G1 X5 Y25
G1 X5 Y5
G0 Z3
M30
( part 2 )
G21 G90
G0 X100 Y100
G1 Z-0.5 F200
G1 X150 F900
M30
