// Writes the built-in cube mesh, the proxy drawn for area lights, in the engine's ".lobj" format.
//
//   generate_lobj <simplecube.lobj>
#include "generated_file.h"

#include "render/lobj.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: generate_lobj <output.lobj>\n");
        return 2;
    }
    const LobjMesh cube = lobjSimpleCube();
    const std::vector<uint8_t> image = lobjWrite(cube);
    if (!writeGeneratedFile(argv[1], image.data(), image.size(), "generate_lobj"))
        return 1;
    std::printf("generate_lobj: %s, %zu vertices, %zu faces\n", argv[1], cube.positions.size(), cube.faces.size());
    return 0;
}
