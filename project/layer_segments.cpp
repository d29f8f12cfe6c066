#include "project/layer_segments.h"

void fx_segments_init(const std::string& path)
{
    // No layer types exist yet; the segments stay empty.
}

void fx_segments_load(const char* path)
{
}
