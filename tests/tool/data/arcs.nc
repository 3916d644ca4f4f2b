( Arcs in every form the subset has, on the built-in machine )
N10 G21 G90 G17
N20 G0 Z2
N30 G0 X10 Y10
N40 G1 Z-0.5 F300
N50 G2 X30 Y10 I10 J0 F1500     ; clockwise half circle, centre by I/J
N60 G3 X10 Y10 R10              ; counterclockwise back, centre by radius
N70 G2 X10 Y10 Z-1.5 I5 J0      ; full helical circle
N80 G91 G3 X10 Y-10 R-10        ; relative, three-quarter circle (negative R)
N90 G90 G20 G1 X0.7874 Y0.3937  ; inches: X 20 mm, Y 10 mm
N100 G21 G0 Z5
M2
