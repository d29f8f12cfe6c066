#include "components/user_program.h"

#include "app/log.h"
#include "jni/engine/grd_messages.h"
#include "jni/engine/grd_shader.h"

UserProgram::~UserProgram() { shaderDeleteProgram(program); }

void UserProgram::Invalidate()
{
    shaderDeleteProgram(program);
    program = nullptr;
    countdown = 1;
    waitingForEdit = false;
}

ShaderProgram* UserProgram::Update(const std::string& label, const Builder& build)
{
    const bool due = countdown == 1 || (!program && !waitingForEdit);
    if (due) {
        countdown = 0;
        ++builds;
        ShaderProgram* built = build ? build() : nullptr;
        if (built && keepFailedBuilds) {
            shaderDeleteProgram(program);
            program = built;
            waitingForEdit = built->errors != 0;
            if (waitingForEdit) {
                const std::string line = label + ": the program does not build; it reloads when its file is fixed";
                LOG_WARNING("%s", line.c_str());
                grdMessageLine(line);
            }
        } else if (built && !built->errors) {
            shaderDeleteProgram(program);
            program = built;
            waitingForEdit = false;
        } else {
            shaderDeleteProgram(built);
            waitingForEdit = true;
            const std::string line = program
                                         ? label + ": the edited program does not build; the last working one stays"
                                         : label + ": the program does not build; waiting for an edit";
            LOG_WARNING("%s", line.c_str());
            grdMessageLine(line);
        }
    }
    if (countdown > 0)
        --countdown;
    return program;
}
