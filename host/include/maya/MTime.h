#pragma once
// A time value in a unit. The UI unit is process-wide host state (film,
// 24 per second, until set otherwise).

class MTime {
public:
    enum Unit {
        kInvalid = 0,
        kHours,
        kMinutes,
        kSeconds,
        kMilliseconds,
        kGames,      // 15 fps
        kFilm,       // 24 fps
        kPALFrame,   // 25 fps
        kNTSCFrame,  // 30 fps
        kShowScan,   // 48 fps
        kPALField,   // 50 fps
        kNTSCField,  // 60 fps
        kLast
    };

    MTime() = default;
    MTime(double value, Unit unit = kFilm) : value_(value), unit_(unit) {}  // NOLINT: implicit as in the SDK

    double value() const { return value_; }
    Unit unit() const { return unit_; }
    double as(Unit unit) const;
#ifndef VANTREL_HOST_API_SUBSET
    void setValue(double value) { value_ = value; }
    void setUnit(Unit unit);
#endif

    static Unit uiUnit();
    static void setUIUnit(Unit unit);
#ifndef VANTREL_HOST_API_SUBSET
    // Units per second of a unit; 0 for kInvalid and kLast.
    static double unitsPerSecond(Unit unit);
#endif

    bool operator==(const MTime& other) const;
    bool operator!=(const MTime& other) const { return !(*this == other); }
    bool operator<(const MTime& other) const;
    bool operator>(const MTime& other) const { return other < *this; }
    bool operator<=(const MTime& other) const { return !(other < *this); }
    bool operator>=(const MTime& other) const { return !(*this < other); }

private:
    double value_ = 0.0;
    Unit unit_ = kFilm;
};
