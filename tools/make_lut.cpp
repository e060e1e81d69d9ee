// Writes a colour look-up-table picture: N pixels wide, N·N tall, N tiles of N×N stacked
// top to bottom (tile b holds blue level b; red grows to the right, green downwards).
//   vellari_make_lut identity N OUTPUT.png

#include <cstdio>
#include <cstdlib>
#include <string>

#include "vellari/platform/picture.h"

using namespace vellari;

int main(int argc, char** argv) {
    if (argc != 4 || std::string(argv[1]) != "identity") {
        std::fprintf(stderr, "usage: vellari_make_lut identity N OUTPUT.png\n");
        return 2;
    }
    const int n = std::atoi(argv[2]);
    if (n < 2 || n > 256) {
        std::fprintf(stderr, "vellari_make_lut: N must be 2 to 256\n");
        return 2;
    }
    Picture p(n, n * n);
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r) {
                uint8_t* px = p.pixel(r, b * n + g);
                px[0] = uint8_t((r * 255 + (n - 1) / 2) / (n - 1));
                px[1] = uint8_t((g * 255 + (n - 1) / 2) / (n - 1));
                px[2] = uint8_t((b * 255 + (n - 1) / 2) / (n - 1));
                px[3] = 255;
            }
    std::string err = writePicture(p, argv[3], PictureFormat::PNG);
    if (!err.empty()) {
        std::fprintf(stderr, "vellari_make_lut: %s\n", err.c_str());
        return 1;
    }
    return 0;
}
