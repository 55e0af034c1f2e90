#include <maya/MAnimControl.h>

#include "scene_graph.h"

using host::detail::scene;

MTime MAnimControl::currentTime() {
    const MTime::Unit unit = MTime::uiUnit();
    return MTime(scene().currentTime.as(unit), unit);
}

MStatus MAnimControl::setCurrentTime(const MTime& time) {
    if (MTime::unitsPerSecond(time.unit()) <= 0.0) return MS::kInvalidParameter;
    // Evaluation reads this on every access; nothing else needs refreshing.
    scene().currentTime = time;
    return MS::kSuccess;
}
