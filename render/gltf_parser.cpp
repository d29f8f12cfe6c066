// The glTF parser's code, built into the engine once. Images are never decoded by it: the importer keeps their bytes
// and decodes them with the engine's own PNG reader, so its image reader and writer are left out (the engine_render
// target defines TINYGLTF_NO_STB_IMAGE and TINYGLTF_NO_STB_IMAGE_WRITE for every file that includes the header).
#define TINYGLTF_IMPLEMENTATION
#include <tiny_gltf.h>
