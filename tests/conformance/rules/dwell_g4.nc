( G4 P: the tool holds still for P seconds )
G21 G90 G17 G94
G0 X10 Y0 Z1
G4 P0.5
G1 X20 F900
G4 P0.25
G4 P0.1
G1 Y10
M2
