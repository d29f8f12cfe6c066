#include "render/render_graph.h"

namespace Renderer {

void RenderGraph(Timestep timestep)
{
    // No component graph exists yet; a frame renders nothing.
}

} // namespace Renderer
