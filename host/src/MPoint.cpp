#include <maya/MPoint.h>

const MPoint MPoint::origin;
