// The literal reference of the corrections and repairs (slow on purpose: no shortcuts).
#include "reference_correction.h"

#include <cmath>
#include <string>

namespace qor::reference {

namespace {

int32_t W(const CalibrationSet& s) {
    return s.width;
}
int32_t H(const CalibrationSet& s) {
    return s.height;
}

int32_t& P(std::vector<int32_t>& f, const CalibrationSet& s, int32_t y, int32_t x) {
    return f[static_cast<size_t>(y) * s.width + x];
}

int32_t Clamp4095(double f) {
    return f < 0 ? 0 : (f > 4095 ? 4095 : static_cast<int32_t>(f));
}

void CopyRow(std::vector<int32_t>& f, const CalibrationSet& s, int32_t from, int32_t to) {
    for (int32_t x = 0; x < W(s); ++x) {
        P(f, s, to, x) = P(f, s, from, x);
    }
}

void CopyColumn(std::vector<int32_t>& f, const CalibrationSet& s, int32_t from, int32_t to) {
    for (int32_t y = 0; y < H(s); ++y) {
        P(f, s, y, to) = P(f, s, y, from);
    }
}

void DefectFill(std::vector<int32_t>& f, const CalibrationSet& s, int32_t r, int32_t k,
                bool (*defective)(float)) {
    const float* map = s.correctionMap.get();
    const int32_t w = W(s);
    if (r > 0) {
        P(f, s, r, k) = P(f, s, r - 1, k);
    } else if (H(s) > 1 && !defective(map[w + k])) {
        P(f, s, 0, k) = P(f, s, 1, k);
    } else if (k > 0) {
        P(f, s, 0, k) = P(f, s, 0, k - 1);
    } else if (w > 1 && !defective(map[1])) {
        P(f, s, 0, 0) = P(f, s, 0, 1);
    }
}

int32_t Tr(double v) {
    return static_cast<int32_t>(std::trunc(v));
}

void InterpolateRowsRef(std::vector<int32_t>& f, const CalibrationSet& s, int32_t a, int32_t b) {
    if (a > b) {
        std::swap(a, b);
    }
    const bool aIn = a >= 0 && a < H(s);
    const bool bIn = b >= 0 && b < H(s);
    if (!aIn && !bIn) {
        return;
    }
    for (int32_t y = a + 1; y <= b - 1; ++y) {
        if (y < 0 || y >= H(s)) {
            continue;
        }
        if (aIn && bIn) {
            const float t =
                static_cast<float>(static_cast<double>(y - a) / static_cast<double>(b - a));
            for (int32_t x = 0; x < W(s); ++x) {
                P(f, s, y, x) =
                    Tr(static_cast<double>(P(f, s, b, x)) * static_cast<double>(t) +
                       static_cast<double>(P(f, s, a, x)) * (1.0 - static_cast<double>(t)) + 0.5);
            }
        } else {
            CopyRow(f, s, aIn ? a : b, y);
        }
    }
}

void InterpolateColumnsRef(std::vector<int32_t>& f, const CalibrationSet& s, int32_t a, int32_t b) {
    if (a > b) {
        std::swap(a, b);
    }
    const bool aIn = a >= 0 && a < W(s);
    const bool bIn = b >= 0 && b < W(s);
    if (!aIn && !bIn) {
        return;
    }
    for (int32_t x = a + 1; x <= b - 1; ++x) {
        if (x < 0 || x >= W(s)) {
            continue;
        }
        if (aIn && bIn) {
            const float t =
                static_cast<float>(static_cast<double>(x - a) / static_cast<double>(b - a));
            for (int32_t y = 0; y < H(s); ++y) {
                P(f, s, y, x) =
                    Tr(static_cast<double>(P(f, s, y, b)) * static_cast<double>(t) +
                       static_cast<double>(P(f, s, y, a)) * (1.0 - static_cast<double>(t)) + 0.5);
            }
        } else {
            CopyColumn(f, s, aIn ? a : b, x);
        }
    }
}

void Invert(std::vector<int32_t>& f, const CalibrationSet& s) {
    for (int32_t i = 0; i < W(s) * H(s); ++i) {
        const uint32_t v = static_cast<uint32_t>(f[i]);
        f[i] = v <= 4095 ? static_cast<int32_t>(4095 - v) : 0;
    }
}

} // namespace

Maps BuildMaps(const uint8_t* image, int32_t pixelCount, int32_t format, bool legacy) {
    Maps maps;
    maps.correction.assign(static_cast<size_t>(pixelCount), 0.0f);
    const int32_t reference = (image[132] << 8) | image[133];
    for (int32_t i = 0; i < pixelCount; ++i) {
        const uint8_t b0 = image[136 + 2 * i];
        const uint8_t b1 = image[137 + 2 * i];
        const int32_t level = b0 | (b1 << 8);
        if (legacy) {
            maps.correction[i] =
                level == 0 ? 4095.0f : static_cast<float>((reference - level) / 16);
        } else if (format < 3) {
            const double c = level > 160 ? level - 160 : 0;
            const float r = static_cast<float>(1.0 / static_cast<double>(reference - 160));
            maps.correction[i] = static_cast<float>(c * static_cast<double>(r));
        } else {
            maps.offset.push_back(static_cast<float>(16 * b0 - 2048));
            maps.gain.push_back(static_cast<float>(b1 * static_cast<double>(0.005882353f) + 0.5));
        }
    }
    return maps;
}

void GainCorrection(std::vector<int32_t>& f, const CalibrationSet& s) {
    const float* map = s.correctionMap.get();
    for (int32_t r = 0; r < H(s); ++r) {
        for (int32_t k = 0; k < W(s); ++k) {
            const float g = map[r * W(s) + k];
            if (g == 0.0f) {
                DefectFill(f, s, r, k, [](float m) { return m == 0.0f; });
                continue;
            }
            const double q = std::trunc(static_cast<double>(static_cast<uint32_t>(P(f, s, r, k))) /
                                        static_cast<double>(g));
            P(f, s, r, k) = (q < 0 || q > 4095) ? 4095 : static_cast<int32_t>(q);
        }
    }
}

void GainOffsetCorrection(std::vector<int32_t>& f, const CalibrationSet& s) {
    for (int32_t i = 0; i < W(s) * H(s); ++i) {
        const double x = f[i];
        const double G = s.gainMap[i];
        const double O = s.offsetMap[i];
        double v = std::trunc(x * G + O + 0.5);
        if (x < 409) {
            const double t = (x + 0.1) * 0.0024449877750611247;
            v = std::trunc(x * (1 - t) + v * t);
        }
        if (x > 3685) {
            const double t = (4095 - x + 0.1) * 0.0024390243902439024;
            v = std::trunc(x * (1 - t) + v * t);
        }
        f[i] = Clamp4095(v);
    }
}

void LegacyOffsetCorrection(std::vector<int32_t>& f, const CalibrationSet& s) {
    const float* map = s.correctionMap.get();
    for (int32_t r = 0; r < H(s); ++r) {
        for (int32_t k = 0; k < W(s); ++k) {
            const float e = map[r * W(s) + k];
            if (e == 4095.0f) {
                DefectFill(f, s, r, k, [](float m) { return m == 4095.0f; });
                continue;
            }
            const double v = std::trunc(static_cast<double>(static_cast<uint32_t>(P(f, s, r, k))) +
                                        static_cast<double>(e));
            P(f, s, r, k) = Clamp4095(v);
        }
    }
}

void Format2Repair(std::vector<int32_t>& f, const CalibrationSet& s) {
    const int32_t* rows = s.badRows;
    int32_t i = 0;
    while (i < s.badRowCount) {
        const int32_t r = rows[i];
        if (s.badRowCount - i >= 3 && rows[i + 1] == r + 1 && rows[i + 2] == r + 2 && r >= 2 &&
            r <= H(s) - 4) {
            for (int32_t x = 0; x < W(s); ++x) {
                const int32_t a = Tr(0.8 * P(f, s, r, x)) + Tr(0.2 * P(f, s, r - 1, x));
                P(f, s, r, x) = a;
                const int32_t b = Tr(0.8 * P(f, s, r + 2, x)) + Tr(0.2 * P(f, s, r + 3, x));
                P(f, s, r + 2, x) = b;
                P(f, s, r + 1, x) = Tr(0.5 * a) + Tr(0.5 * b);
            }
            i += 3;
        } else {
            if (r != 0) {
                CopyRow(f, s, r - 1, r);
            } else if (H(s) > 1) { // a single-row frame has no row 1
                CopyRow(f, s, 1, 0);
            }
            i += 1;
        }
    }
    const int32_t* cols = s.badColumns;
    i = 0;
    while (i < s.badColumnCount) {
        const int32_t k = cols[i];
        if (s.badColumnCount - i >= 3 && cols[i + 1] == k + 1 && cols[i + 2] == k + 2 && k >= 2 &&
            k <= W(s) - 4) {
            for (int32_t y = 0; y < H(s); ++y) {
                const int32_t a = Tr(0.8 * P(f, s, y, k)) + Tr(0.2 * P(f, s, y, k - 1));
                P(f, s, y, k) = a;
                const int32_t b = Tr(0.8 * P(f, s, y, k + 2)) + Tr(0.2 * P(f, s, y, k + 3));
                P(f, s, y, k + 2) = b;
                P(f, s, y, k + 1) = Tr(0.5 * a) + Tr(0.5 * b);
            }
            i += 3;
        } else {
            if (k > 0) {
                CopyColumn(f, s, k - 1, k);
            }
            i += 1;
        }
    }
}

void Format3Repair(std::vector<int32_t>& f, const CalibrationSet& s) {
    int32_t i = 0;
    while (i < s.badRowCount) {
        int32_t j = i;
        while (j < s.badRowCount - 1 && s.badRows[j] + 1 == s.badRows[j + 1]) {
            ++j;
        }
        InterpolateRowsRef(f, s, s.badRows[i] - 1, s.badRows[j] + 1);
        i = j + 1;
    }
    i = 0;
    while (i < s.badColumnCount) {
        int32_t j = i;
        while (j < s.badColumnCount - 1 && s.badColumns[j] + 1 == s.badColumns[j + 1]) {
            ++j;
        }
        InterpolateColumnsRef(f, s, s.badColumns[i] - 1, s.badColumns[j] + 1);
        i = j + 1;
    }
}

void LegacyRepair(std::vector<int32_t>& f, const CalibrationSet& s) {
    for (int32_t i = 0; i < s.badRowCount; ++i) {
        const int32_t r = s.badRows[i];
        if (r != 0) {
            CopyRow(f, s, r - 1, r);
        } else if (H(s) > 1) {
            CopyRow(f, s, 1, 0);
        }
    }
    for (int32_t i = 0; i < s.badColumnCount; ++i) {
        const int32_t k = s.badColumns[i];
        if (k > 0) {
            for (int32_t y = 0; y < H(s); ++y) {
                P(f, s, y, k) += s.badColumns[i + 5];
            }
        }
    }
}

void CorrectFrame(std::vector<int32_t>& f, const Calibration& cal, uint32_t threshold,
                  int32_t processFlag, const CorrectionServices& services) {
    const CalibrationSet& s = cal.set;
    double sum = 0.0;
    for (int32_t i = 0; i < W(s) * H(s); ++i) {
        sum += f[i];
    }
    const double mean = sum / (W(s) * H(s));
    if (mean < threshold && services.notify) {
        services.notify({"Warning ( " + std::to_string(static_cast<int64_t>(mean)) + ")",
                         "Image May be Under Exposed"});
    }
    if (processFlag > 0 && (s.formatVersion >= 3 ? s.gainMap && s.offsetMap : s.correctionMap != nullptr)) {
        if (s.formatVersion < 3) {
            GainCorrection(f, s);
            Format2Repair(f, s);
        } else {
            GainOffsetCorrection(f, s);
            Format3Repair(f, s);
        }
        if (services.enhance && W(s) >= 140 && H(s) >= 140) {
            services.enhance(f.data(), W(s), H(s), processFlag);
        }
    }
    Invert(f, s);
    const uint32_t id = s.imagerId;
    const uint32_t key = ((id & 0xFF) << 20) | (((id >> 8) & 0xFF) << 12) |
                         (((id >> 16) & 0xF) << 8) | ((id >> 24) & 0xFF);
    if (key >= 100000000) {
        std::vector<int32_t> turned(f.size());
        for (size_t i = 0; i < f.size(); ++i) {
            turned[f.size() - 1 - i] = f[i];
        }
        f = turned;
    }
}

void CorrectLegacyFrame(std::vector<int32_t>& f, const Calibration& cal, int32_t processFlag) {
    const CalibrationSet& s = cal.set;
    if (!s.correctionMap || processFlag <= 0) {
        Invert(f, s);
        return;
    }
    LegacyOffsetCorrection(f, s);
    Invert(f, s);
    LegacyRepair(f, s);
}

} // namespace qor::reference
