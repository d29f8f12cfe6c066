// The one registry of component classes: a row per class, whose position is the class's type index.
#pragma once

#include <cstdint>
#include <string>

class EngineComponent;

namespace ComponentCategory {
enum : int32_t { Value = 0, Geometry = 1, Particles = 2, Image = 3, Scene = 4, Instancing = 5 };
}

using ComponentFactory = EngineComponent* (*)(const std::string& name);

struct ComponentTypeInfo {
    const char* typeName;    // "type" in graph.json, compared byte for byte
    int32_t category;        // ComponentCategory
    const char* displayName; // the toolbox label
    ComponentFactory factory; // null for rows that cannot be created (or whose class does not exist yet)
};

constexpr int kComponentTypeCount = 53;
constexpr int kComponentTypeInvalid = 52;

// The rows' names are the graph's; the factories are installed by the components at start-up
// (componentTypesInstallFactories), so the graph creates through them what lives above it. Tests may stand in
// factories of their own.
extern ComponentTypeInfo componentTypeTable[kComponentTypeCount];

// Row of the exact type name, or -1.
int componentTypeFind(const std::string& typeName);
