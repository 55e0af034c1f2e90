#include <maya/MTime.h>

namespace {
MTime::Unit gUiUnit = MTime::kFilm;
}

double MTime::unitsPerSecond(Unit unit) {
    switch (unit) {
        case kHours: return 1.0 / 3600.0;
        case kMinutes: return 1.0 / 60.0;
        case kSeconds: return 1.0;
        case kMilliseconds: return 1000.0;
        case kGames: return 15.0;
        case kFilm: return 24.0;
        case kPALFrame: return 25.0;
        case kNTSCFrame: return 30.0;
        case kShowScan: return 48.0;
        case kPALField: return 50.0;
        case kNTSCField: return 60.0;
        default: return 0.0;
    }
}

double MTime::as(Unit unit) const {
    if (unit == unit_) return value_;
    const double from = unitsPerSecond(unit_);
    const double to = unitsPerSecond(unit);
    if (from == 0.0 || to == 0.0) return 0.0;
    return value_ / from * to;
}

void MTime::setUnit(Unit unit) {
    value_ = as(unit);
    unit_ = unit;
}

MTime::Unit MTime::uiUnit() { return gUiUnit; }

void MTime::setUIUnit(Unit unit) {
    if (unitsPerSecond(unit) > 0.0) gUiUnit = unit;
}

bool MTime::operator==(const MTime& other) const { return as(kSeconds) == other.as(kSeconds); }

bool MTime::operator<(const MTime& other) const { return as(kSeconds) < other.as(kSeconds); }
