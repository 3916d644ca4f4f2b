%
O2001 (BRACKET PROFILE AND BORE)
(Fanuc/LinuxCNC-style post: the part edge is programmed and the control)
(offsets the tool by its radius: G41 D, G40)
N10 G17 G21 G40 G49 G80 G90 G94 G64 P0.01
N20 T1 M6
N30 G43 H1
N40 S15000 M3
N50 G0 X-10. Y-10.
N60 Z5.
N70 G1 Z-2. F300.
(outside profile, climb milling: clockwise with the tool on the left)
N80 G41 D1 G1 X0. Y0. F1000.
N90 Y30.
N100 G2 X10. Y40. I10. J0.
N110 G1 X20.
N120 G3 X30. Y40. I5. J0.
N130 G1 X50.
N140 G2 X60. Y30. I0. J-10.
N150 G1 Y10.
N160 X45.
N170 Y0.
N180 X0.
N190 Y10.
N200 G40 G1 X-10. Y10.
N210 G0 Z5.
(bore finish: a full circle with the tool inside it)
N220 X30. Y20.
N230 G1 Z-1. F300.
N240 G41 D1 G1 X38. F800.
N250 G3 X38. Y20. I-8. J0.
N260 G40 G1 X30. Y20.
N270 G0 Z5.
N280 M5
N290 G0 X0. Y0.
N300 M30
%
