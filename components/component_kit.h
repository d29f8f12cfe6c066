// What every effect component shares: KitComponent owns the parameter branch and answers the operations most
// components leave alone; BuildComponent and CreateComponent make one in two steps (parameters, then GL objects);
// a ParameterBinding table copies parameters into the fields of a record.
//
// A new component derives from KitComponent (or one of its families), registers its parameters in its protected
// constructor, makes its GL objects in CreateGpuObjects (never in the constructor), and gives the type table
//     static EngineComponent* Create(const std::string& name) { return CreateComponent<myfx>(name); }
// The constructor stays protected: made through the two functions below, the component is a KitBuilt<myfx>, whose
// destructor deletes the branch while the cvars it lists are still alive, so no component deletes it itself.
#pragma once

#include "project/components.h"
#include "project/cvars.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

class KitComponent : public EngineComponent {
public:
    // Deletes the branch unless KitBuilt already has.
    ~KitComponent() override;

    CvarTreeNode* GetCvarTree() override { return branch; }
    void OnInputConnected(int32_t) override {}
    void OnInputDisconnected(int32_t) override {}

    // The component's own branch, "{name}" without a parent; it lists the component's parameters.
    CvarTreeNode* branch = nullptr;

protected:
    enum class Registration { Open, None };

    // Creates the branch with this component as its owner. Open: the branch becomes the current one, so the
    // constructor's registrations land in it; None (a component without parameters): the current branch stays.
    KitComponent(int32_t typeIndex, const std::string& name, Registration registration = Registration::Open);

    // Ends the constructor's registrations: the current branch steps back once, which from the component's branch
    // (no parent) is the tree's root.
    void CloseBranch();

    // The GL objects (buffers, textures, programs, framebuffers, geometry) the component keeps for its life; run
    // once by CreateComponent after the constructor. False, after a log line, when the component cannot work: the
    // factory then returns null.
    virtual bool CreateGpuObjects() { return true; }

private:
    template <typename C>
    friend class KitBuilt;
    template <typename C>
    friend EngineComponent* CreateComponent(const std::string& name);

    // Deletes the branch. The branch lists the component's cvars (members or parts of objects it holds), which
    // must still be alive when the tree forgets them, so this runs before the component's own destructor.
    void ReleaseBranch();
};

// The type every kit component is made as: its destructor lets go of the branch before the component's
// destructor and members run.
template <typename C>
class KitBuilt final : public C {
public:
    explicit KitBuilt(const std::string& name) : C(name) {}
    ~KitBuilt() override { this->ReleaseBranch(); }
};

// A component with its parameters registered and no GL object made: needs no GL context (tests, tools).
template <typename C>
std::unique_ptr<C> BuildComponent(const std::string& name)
{
    static_assert(std::is_base_of_v<KitComponent, C>);
    return std::make_unique<KitBuilt<C>>(name);
}

// The type table's factory: BuildComponent, then the component's GL objects; null when those cannot be made.
template <typename C>
EngineComponent* CreateComponent(const std::string& name)
{
    std::unique_ptr<C> component = BuildComponent<C>(name);
    KitComponent& kit = *component;
    if (!kit.CreateGpuObjects())
        return nullptr;
    return component.release();
}

// The object a component draws or reads: the payload of the output linked first to `pin` when it has a link (null
// when that payload is not an object), else the object resource `name` of the current project, else null.
class Object;
Object* linkedOrNamedObject(const InputPin* pin, const std::string& name);

// ---- Parameter bindings ----

// How a record field holds a parameter: Float copies `count` channels of the value, Bool one flag (value > 0.5).
enum class RecordFieldType : uint8_t { Float, Bool };

struct RecordField {
    size_t offset = 0;
    RecordFieldType type = RecordFieldType::Float;
    uint8_t count = 1;

    constexpr size_t Size() const { return type == RecordFieldType::Bool ? sizeof(bool) : count * sizeof(float); }
};

// The field a member of a record is: float, float[n] (n <= 4) or bool; anything else does not compile.
template <typename Field>
constexpr RecordField recordFieldOf(size_t offset)
{
    using Element = std::remove_all_extents_t<Field>;
    static_assert(std::is_same_v<Element, float> || std::is_same_v<Field, bool>, "bind float, float[n] or bool");
    static_assert(std::extent_v<Field> <= 4, "a parameter has four channels");
    if constexpr (std::is_same_v<Field, bool>)
        return {offset, RecordFieldType::Bool, 1};
    else
        return {offset, RecordFieldType::Float, uint8_t(std::is_array_v<Field> ? std::extent_v<Field> : 1)};
}
#define KIT_FIELD(Record, member) recordFieldOf<decltype(Record::member)>(offsetof(Record, member))

// One row of a component's table: which parameter fills which field of Record.
template <typename Component, typename Record>
struct ParameterBinding {
    Cvar Component::*parameter;
    RecordField field;
};

// Every field inside the record, aligned for its type, and no two fields overlapping; for a static_assert beside
// each table.
constexpr bool recordFieldsFit(const RecordField* fields, size_t count, size_t recordSize)
{
    for (size_t i = 0; i < count; ++i) {
        const RecordField& f = fields[i];
        const size_t alignment = f.type == RecordFieldType::Bool ? alignof(bool) : alignof(float);
        if (f.count < 1 || f.count > 4 || f.offset % alignment != 0 || f.offset > recordSize ||
            f.Size() > recordSize - f.offset)
            return false;
        for (size_t j = 0; j < i; ++j)
            if (f.offset < fields[j].offset + fields[j].Size() && fields[j].offset < f.offset + f.Size())
                return false;
    }
    return true;
}

template <typename Component, typename Record, size_t N>
constexpr bool bindingsFit(const ParameterBinding<Component, Record> (&table)[N])
{
    RecordField fields[N] = {};
    for (size_t i = 0; i < N; ++i)
        fields[i] = table[i].field;
    return recordFieldsFit(fields, N, sizeof(Record));
}

// Writes one parameter into its field of a record of recordSize bytes; a field that does not fit is logged and
// nothing is written.
bool writeRecordField(const Cvar& parameter, const RecordField& field, void* record, size_t recordSize);

// Writes every parameter of the table into its field of the record.
template <typename Component, typename Record, size_t N>
void writeParameters(const Component& component, const ParameterBinding<Component, Record> (&table)[N],
                     Record& record)
{
    static_assert(std::is_trivially_copyable_v<Record>);
    for (const ParameterBinding<Component, Record>& row : table)
        writeRecordField(component.*row.parameter, row.field, &record, sizeof(Record));
}
