#include "pages/timestamp.hpp"

namespace pic::pages {

namespace {

bool digits(std::string_view s, std::size_t at, std::size_t count, int& value) {
    if (at + count > s.size()) return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

int days_in_month(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

}  // namespace

std::optional<Timestamp> parse_rfc3339(std::string_view s) {
    Timestamp t;
    // YYYY-MM-DDTHH:MM:SS is 19 characters.
    if (s.size() < 20 || s[4] != '-' || s[7] != '-' || s[13] != ':' || s[16] != ':') return std::nullopt;
    if (s[10] != 'T' && s[10] != 't' && s[10] != ' ') return std::nullopt;
    if (!digits(s, 0, 4, t.year) || !digits(s, 5, 2, t.month) || !digits(s, 8, 2, t.day) ||
        !digits(s, 11, 2, t.hour) || !digits(s, 14, 2, t.minute) || !digits(s, 17, 2, t.second))
        return std::nullopt;
    if (t.year < 1 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > days_in_month(t.year, t.month) ||
        t.hour > 23 || t.minute > 59 || t.second > 59)
        return std::nullopt;
    std::size_t p = 19;
    if (s[p] == '.') {
        std::size_t start = ++p;
        int scale = 100000;
        while (p < s.size() && s[p] >= '0' && s[p] <= '9') {
            if (scale > 0) t.microsecond += (s[p] - '0') * scale;
            scale /= 10;
            ++p;
        }
        if (p == start) return std::nullopt;
    }
    if (p >= s.size()) return std::nullopt;
    if ((s[p] == 'Z' || s[p] == 'z') && p + 1 == s.size()) return t;
    if ((s[p] != '+' && s[p] != '-') || p + 6 != s.size() || s[p + 3] != ':') return std::nullopt;
    int hours, minutes;
    if (!digits(s, p + 1, 2, hours) || !digits(s, p + 4, 2, minutes) || hours > 23 || minutes > 59)
        return std::nullopt;
    t.offset_minutes = (hours * 60 + minutes) * (s[p] == '-' ? -1 : 1);
    return t;
}

}  // namespace pic::pages
