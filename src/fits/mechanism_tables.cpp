// Encoder calibration of the two filter wheels and the aperture selector.
#include "fits/fits.h"

const EncoderPosition filter_wheel1_positions[kFilterWheelPositions] = {
    {0, "'OPEN'", 0, 71, 78, 72, 79},
    {1, "'THIN_AL'", 0, 134, 141, 135, 142},
    {2, "'THIN_ZR'", 0, 200, 207, 201, 208},
    {3, "'THICK_ZR'", 0, 266, 273, 267, 274},
    {4, "'THICK_AL'", 0, 8, 15, 9, 16},
};

const EncoderPosition filter_wheel2_positions[kFilterWheelPositions] = {
    {0, "'GLASS'", 0, 71, 78, 72, 79},
    {1, "'OPEN'", 0, 134, 141, 135, 142},
    {2, "'THIN_AL'", 0, 200, 207, 201, 208},
    {3, "'THIN_ZR'", 0, 266, 273, 267, 274},
    {4, "'THICK_AL'", 0, 8, 15, 9, 16},
};

const EncoderPosition aperture_positions[kAperturePositions] = {
    {1, "'131A'", 131, 1, 3, 3, 5},
    {2, "'171A'", 171, 7, 9, 9, 11},
    {3, "'195A'", 195, 13, 15, 15, 17},
    {4, "'284A'", 284, 19, 21, 21, 23},
    {5, "'304A'", 304, 25, 27, 27, 29},
    {0, "'94A'", 94, 31, 33, 33, 35},
};
