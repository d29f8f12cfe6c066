// The post-effect layer stacks of the 32 segments, "layers.segments".
#pragma once

#include <string>

// Registers the layer types, sets the default chain, reads the file and arranges its save at exit.
void fx_segments_init(const std::string& path);
void fx_segments_load(const char* path);
