#include "project/component_table.h"

int componentTypeFind(const std::string& typeName)
{
    for (int i = 0; i < kComponentTypeCount; ++i)
        if (typeName == componentTypeTable[i].typeName)
            return i;
    return -1;
}
