// Reads the X screen the engine's window is on and reports what it shows, for the end-to-end test and for the
// README's screenshot.
//   grab_screen                   prints: mean <0..255> stddev <..> hash <16 hex digits>
//   grab_screen shot.png          the same, and writes the screen as an RGB PNG
//   grab_screen --rect X0 Y0 X1 Y1 [shot.png]
//                                 the same for the pixels of that rectangle only (an editor window's picture)
//   grab_screen --find RRGGBB X0 Y0 X1 Y1
//                                 prints: found <n> at <cx> <cy> from <ax> <ay> to <bx> <by> for the pixels of exactly
//                                 that colour in the rectangle: the one nearest their centroid, and the two ends of
//                                 their longer extent (a drawn line's ends); "found 0" when there is none
// Exits 1 when there is no display or the screen cannot be read.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool writePng(const char* path, int width, int height, const std::vector<uint8_t>& rgb)
{
    FILE* file = std::fopen(path, "wb");
    if (!file) {
        std::fprintf(stderr, "cannot write %s\n", path);
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        std::fprintf(stderr, "PNG encoding of %s failed\n", path);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y)
        png_write_row(png, rgb.data() + size_t(y) * size_t(width) * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}

struct Found {
    int x, y;
};

// Pixels of exactly one colour in a rectangle, reported as a handle to grab.
void findColour(const std::vector<uint8_t>& rgb, int width, int height, const char* hex, const int rect[4])
{
    const unsigned long colour = std::strtoul(hex, nullptr, 16);
    const uint8_t want[3] = {uint8_t(colour >> 16), uint8_t(colour >> 8), uint8_t(colour)};
    std::vector<Found> found;
    for (int y = std::max(0, rect[1]); y < std::min(height, rect[3]); ++y)
        for (int x = std::max(0, rect[0]); x < std::min(width, rect[2]); ++x) {
            const uint8_t* p = rgb.data() + (size_t(y) * size_t(width) + size_t(x)) * 3;
            if (p[0] == want[0] && p[1] == want[1] && p[2] == want[2])
                found.push_back({x, y});
        }
    if (found.empty()) {
        std::printf("found 0\n");
        return;
    }
    double mx = 0.0, my = 0.0;
    Found lowX = found[0], highX = found[0], lowY = found[0], highY = found[0];
    for (const Found& f : found) {
        mx += f.x;
        my += f.y;
        if (f.x < lowX.x) lowX = f;
        if (f.x > highX.x) highX = f;
        if (f.y < lowY.y) lowY = f;
        if (f.y > highY.y) highY = f;
    }
    mx /= double(found.size());
    my /= double(found.size());
    const Found* nearest = &found[0];
    for (const Found& f : found)
        if ((f.x - mx) * (f.x - mx) + (f.y - my) * (f.y - my) <
            (nearest->x - mx) * (nearest->x - mx) + (nearest->y - my) * (nearest->y - my))
            nearest = &f;
    const bool wide = highX.x - lowX.x >= highY.y - lowY.y;
    const Found a = wide ? lowX : lowY, b = wide ? highX : highY;
    std::printf("found %zu at %d %d from %d %d to %d %d\n", found.size(), nearest->x, nearest->y, a.x, a.y, b.x, b.y);
}

} // namespace

int main(int argc, char** argv)
{
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "no X display\n");
        return 1;
    }
    const Window root = DefaultRootWindow(display);
    XWindowAttributes attributes;
    XGetWindowAttributes(display, root, &attributes);
    XImage* image = XGetImage(display, root, 0, 0, unsigned(attributes.width), unsigned(attributes.height), AllPlanes,
                              ZPixmap);
    if (!image) {
        std::fprintf(stderr, "cannot read the screen\n");
        XCloseDisplay(display);
        return 1;
    }

    const int width = attributes.width;
    const int height = attributes.height;
    std::vector<uint8_t> rgb(size_t(width) * size_t(height) * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            uint8_t* out = rgb.data() + (size_t(y) * size_t(width) + size_t(x)) * 3;
            out[0] = uint8_t((pixel & image->red_mask) >> 16);
            out[1] = uint8_t((pixel & image->green_mask) >> 8);
            out[2] = uint8_t(pixel & image->blue_mask);
        }
    XDestroyImage(image);
    XCloseDisplay(display);

    if (argc == 7 && std::strcmp(argv[1], "--find") == 0) {
        const int rect[4] = {std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6])};
        findColour(rgb, width, height, argv[2], rect);
        return 0;
    }
    int rect[4] = {0, 0, width, height};
    const char* shot = argc > 1 ? argv[1] : nullptr;
    if (argc >= 6 && std::strcmp(argv[1], "--rect") == 0) {
        rect[0] = std::clamp(std::atoi(argv[2]), 0, width);
        rect[1] = std::clamp(std::atoi(argv[3]), 0, height);
        rect[2] = std::clamp(std::atoi(argv[4]), rect[0], width);
        rect[3] = std::clamp(std::atoi(argv[5]), rect[1], height);
        shot = argc > 6 ? argv[6] : nullptr;
    }
    const int partWidth = rect[2] - rect[0];
    const int partHeight = rect[3] - rect[1];
    if (partWidth <= 0 || partHeight <= 0) {
        std::fprintf(stderr, "empty rectangle\n");
        return 1;
    }
    std::vector<uint8_t> part(size_t(partWidth) * size_t(partHeight) * 3);
    for (int y = 0; y < partHeight; ++y)
        std::memcpy(part.data() + size_t(y) * size_t(partWidth) * 3,
                    rgb.data() + (size_t(y + rect[1]) * size_t(width) + size_t(rect[0])) * 3, size_t(partWidth) * 3);

    double sum = 0.0;
    double sumSquares = 0.0;
    uint64_t hash = 1469598103934665603ull; // FNV-1a over the RGB bytes
    for (const uint8_t channel : part) {
        sum += channel;
        sumSquares += double(channel) * channel;
        hash = (hash ^ channel) * 1099511628211ull;
    }
    const double count = double(part.size());
    const double mean = sum / count;
    const double stddev = std::sqrt(std::max(0.0, sumSquares / count - mean * mean));
    std::printf("mean %.3f stddev %.3f hash %016llx\n", mean, stddev, static_cast<unsigned long long>(hash));
    if (shot && !writePng(shot, partWidth, partHeight, part))
        return 1;
    return 0;
}
