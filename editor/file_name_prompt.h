// A small modal that asks for a file name: the proposed name in a text field, the folder it is relative to shown
// above, "Save" and "Cancel". One prompt at a time; a new request replaces one still open.
#pragma once

#include <functional>
#include <string>

struct FileNamePromptState {
    bool pending = false; // a request waits to be opened
    bool open = false;
    std::string title;
    std::string folder;
    char name[1024] = {};
    std::function<void(const std::string& path)> chosen;
};

extern FileNamePromptState uiFileNamePrompt;

// Queues the request; the next ui_file_name_prompt_draw opens it.
void ui_file_name_prompt_request(const std::string& title, const std::string& folder, const std::string& proposed,
                                 std::function<void(const std::string& path)> chosen);
// The path a confirmed prompt hands on: the name as typed when absolute, else the name (the caller's saves are
// relative to the asset folder). Empty for a name that is empty or all blanks.
std::string ui_file_name_prompt_path(const char* typed);
// Draws the modal while a request is open; "Save" (or Enter) calls the request's callback once, "Cancel" (or
// Escape) drops it.
void ui_file_name_prompt_draw(FileNamePromptState& state);
// Points the components' export prompts at this one.
void ui_file_name_prompt_connect();
