// Slow, literal reference of the enhancement, written straight from the algorithm's description.
#include "reference_enhancement.h"

#include <cmath>

namespace qor::imageproc::reference {
namespace {

int32_t Reflect(int32_t i, int32_t size) {
    return i < 0 ? -i - 1 : (i >= size ? 2 * size - 1 - i : i);
}

Grid MakeGrid(int32_t width, int32_t height, float fill) {
    return Grid(width, std::vector<float>(height, fill));
}

} // namespace

std::vector<float> Window(int32_t n) {
    std::vector<float> w(n);
    if (n % 2 == 1) {
        double q = 0.0;
        for (int32_t k = 1; k <= (n + 1) / 2; ++k) {
            w[k - 1] = (float)((double)(2 * k) / (double)(n + 1));
            q += (double)(2 * k) / (double)(n + 1);
        }
        for (int32_t m = 0; (n + 1) / 2 + m < n; ++m) {
            w[(n + 1) / 2 + m] = w[(n + 1) / 2 - 2 - m];
        }
        const float peak = w[(n + 1) / 2 - 1];
        for (int32_t i = 0; i < n; ++i) {
            w[i] = (float)((double)w[i] / (2.0 * q - (double)peak));
        }
    } else {
        for (int32_t k = 1; k <= n / 2; ++k) {
            w[k - 1] = (float)(((double)k - 0.5) / (double)n);
        }
        for (int32_t m = 0; m < n / 2; ++m) {
            w[n / 2 + m] = w[n / 2 - 1 - m];
        }
    }
    return w;
}

void ImageProc2(Grid& G, int32_t fullScale, int32_t radius, int32_t tileSize, float strength) {
    const int32_t width = (int32_t)G.size();
    const int32_t height = (int32_t)G[0].size();
    const int32_t ts = tileSize;

    // 1. Smoothing.
    const std::vector<float> K = Window(2 * radius + 1);
    Grid F = MakeGrid(width, height, 0.0f);
    Grid S = MakeGrid(width, height, 0.0f);
    Grid D = MakeGrid(width, height, 0.0f);
    for (int32_t u = 0; u < width; ++u) {
        for (int32_t v = 0; v < height; ++v) {
            double sum = 0.0;
            for (int32_t k = 0; k <= 2 * radius; ++k) {
                sum += (double)G[Reflect(u + k - radius, width)][v] * (double)K[k];
            }
            F[u][v] = (float)sum;
        }
    }
    for (int32_t u = 0; u < width; ++u) {
        for (int32_t v = 0; v < height; ++v) {
            double sum = 0.0;
            for (int32_t k = 0; k <= 2 * radius; ++k) {
                sum += (double)F[u][Reflect(v + k - radius, height)] * (double)K[k];
            }
            D[u][v] = (float)((double)G[u][v] - sum);
            S[u][v] = (float)sum;
        }
    }
    G = S;

    // 2. Tile extremes.
    const int32_t R = width / ts;
    const int32_t Q = height / ts;
    Grid tileMax = MakeGrid(R, Q, 0.0f);
    Grid tileMin = MakeGrid(R, Q, 1e20f);
    for (int32_t i = 0; i < R; ++i) {
        for (int32_t j = 0; j < Q; ++j) {
            const int32_t uEnd = i == R - 1 ? width : (i + 1) * ts;
            const int32_t vEnd = j == Q - 1 ? height : (j + 1) * ts;
            for (int32_t u = i * ts; u < uEnd; ++u) {
                for (int32_t v = j * ts; v < vEnd; ++v) {
                    if (G[u][v] > tileMax[i][j]) {
                        tileMax[i][j] = G[u][v];
                    }
                    if (G[u][v] < tileMin[i][j]) {
                        tileMin[i][j] = G[u][v];
                    }
                }
            }
        }
    }

    // 3. Windows.
    const int32_t N = 4 * ts;
    const std::vector<float> Y = Window(N);
    const int32_t Lu = width - (R - 1) * ts;
    const int32_t Lv = height - (Q - 1) * ts;
    auto stretched = [&](int32_t L) {
        std::vector<float> P(3 * ts + L);
        for (int32_t l = 0; l < 3 * ts; ++l) {
            P[l] = Y[l];
        }
        // A one-pixel last tile has no slope (the library's mend of a 0/0 step).
        const float step =
            L > 1 ? (float)(((double)Y[N - 1] - (double)Y[3 * ts]) / (double)(L - 1)) : 0.0f;
        for (int32_t k = 0; k < L; ++k) {
            P[3 * ts + k] = (float)((double)Y[3 * ts] + (double)k * (double)step);
        }
        return P;
    };
    const std::vector<float> Pu = stretched(Lu);
    const std::vector<float> Pv = stretched(Lv);

    // 4. Block accumulation.
    Grid maxAcc = MakeGrid(width, height, 0.0f);
    Grid minAcc = MakeGrid(width, height, 0.0f);
    Grid wAcc = MakeGrid(width, height, 0.0f);
    auto block = [&](int32_t u0, int32_t v0, int32_t cols, int32_t rows, int32_t i0, int32_t i1,
                     int32_t j0, int32_t j1, const std::vector<float>& pl,
                     const std::vector<float>& pm) {
        float bmax = 0.0f;
        float bmin = 1e20f;
        for (int32_t i = i0; i <= i1; ++i) {
            for (int32_t j = j0; j <= j1; ++j) {
                if (tileMax[i][j] > bmax) {
                    bmax = tileMax[i][j];
                }
                if (tileMin[i][j] < bmin) {
                    bmin = tileMin[i][j];
                }
            }
        }
        for (int32_t l = 0; l < cols; ++l) {
            for (int32_t m = 0; m < rows; ++m) {
                const float w = (float)((double)pl[l] * (double)pm[m]);
                float& mx = maxAcc[u0 + l][v0 + m];
                float& mn = minAcc[u0 + l][v0 + m];
                float& ws = wAcc[u0 + l][v0 + m];
                mx = (float)((double)mx + (double)bmax * (double)w);
                mn = (float)((double)mn + (double)bmin * (double)w);
                ws = (float)((double)ws + (double)w);
            }
        }
    };
    for (int32_t bi = 0; bi <= R - 4; ++bi) {
        for (int32_t bj = 0; bj <= Q - 4; ++bj) {
            block(bi * ts, bj * ts, N, N, bi, bi + 3, bj, bj + 3, Y, Y);
        }
    }
    for (int32_t bi = 0; bi <= R - 4; ++bi) {
        block(bi * ts, (Q - 4) * ts, N, 3 * ts + Lv, bi, bi + 3, Q - 2, Q - 1, Y, Pv);
    }
    for (int32_t bj = 0; bj <= Q - 4; ++bj) {
        block((R - 4) * ts, bj * ts, 3 * ts + Lu, N, R - 2, R - 1, bj, bj + 3, Pu, Y);
    }
    block((R - 4) * ts, (Q - 4) * ts, 3 * ts + Lu, 3 * ts + Lv, R - 2, R - 1, Q - 2, Q - 1, Pu, Pv);

    // 5. and 6. Local range and tone curve.
    const float A = (float)fullScale;
    const float k = (float)(4.0 / (double)A / (double)A);
    const float s = strength;
    for (int32_t u = 0; u < width; ++u) {
        for (int32_t v = 0; v < height; ++v) {
            const float Mx = (float)((double)maxAcc[u][v] / (double)wAcc[u][v]);
            const float Mn = (float)((double)minAcc[u][v] / (double)wAcc[u][v]);
            const double g = (double)G[u][v];
            const double T1 = (double)Mx * (((double)A - (double)Mx) * (double)k * (double)s + 1.0);
            const double T0 =
                (double)Mn - ((double)A - (double)Mn) * (double)Mn * (double)k * (double)s;
            if ((double)Mx - (double)Mn == 0.0) {
                G[u][v] = Mn;
            } else {
                G[u][v] = (float)(((T1 - T0) * (g - (double)Mn) / ((double)Mx - (double)Mn) +
                                   (double)D[u][v]) +
                                  T0);
            }
            if (G[u][v] > 4095.0f) {
                G[u][v] = 4095.0f;
            }
        }
    }
}

int32_t ImageProc1(std::vector<int32_t>& image, int32_t width, int32_t height,
                   int32_t processFlag) {
    Grid grid = MakeGrid(width, height, 0.0f);
    for (int32_t u = 0; u < width; ++u) {
        for (int32_t v = 0; v < height; ++v) {
            grid[u][v] = (float)image[v * width + u];
        }
    }
    if (processFlag != 1) {
        return 0;
    }
    if (width >= 140 && height >= 140) {
        ImageProc2(grid, 4096, 1, 35, 409.6f);
    }
    float max = 0.0f;
    for (int32_t u = 0; u < width; ++u) {
        for (int32_t v = 0; v < height; ++v) {
            if (grid[u][v] > max) {
                max = grid[u][v];
            }
        }
    }
    const float scale = (float)(4095.0 / (double)max);
    for (int32_t u = 0; u < width; ++u) {
        for (int32_t v = 0; v < height; ++v) {
            const double y = (double)scale * (double)grid[u][v];
            int32_t out;
            if (y < 0) {
                out = 0;
            } else if (std::isnan(y)) { // scale +inf (max 0) times 0: the library's mend
                out = 0;
            } else if (y >= 4096.0) { // scale +inf (denormal max): the library's mend
                out = 4095;
            } else {
                out = (int32_t)y;
            }
            image[v * width + u] = out;
        }
    }
    return 1;
}

} // namespace qor::imageproc::reference
