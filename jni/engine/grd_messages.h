// Messages for the user about shader builds, reloads and rebuilds. The device layer owns the sink; the editor
// points it at its event log at start-up, so without an editor the messages reach only the log file (their
// senders log them as well).
#pragma once

#include <string>

// Takes the text as it stands; endLine asks for a line feed after it unless the text already ends with one.
using GrdMessageSink = void (*)(const std::string& text, bool endLine);
extern GrdMessageSink grdMessageSink;

// The text to the sink unchanged; nothing without a sink.
void grdMessage(const std::string& text);
// The same, then a line feed unless the text already ends with one.
void grdMessageLine(const std::string& text);
