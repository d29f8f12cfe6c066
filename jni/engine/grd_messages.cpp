#include "jni/engine/grd_messages.h"

GrdMessageSink grdMessageSink = nullptr;

void grdMessage(const std::string& text)
{
    if (grdMessageSink)
        grdMessageSink(text, false);
}

void grdMessageLine(const std::string& text)
{
    if (grdMessageSink)
        grdMessageSink(text, true);
}
