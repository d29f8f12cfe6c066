// The program of a layer's link check: every object of one layer, linked with only the layers below it, so a call
// into a layer above is an undefined reference and the build fails.
#ifdef LINK_CHECK_EMPTY_TYPE_TABLE
#include "project/component_table.h"

// The graph creates components through the table whose rows the components fill; below them it stays empty.
ComponentTypeInfo componentTypeTable[kComponentTypeCount] = {};
#endif

int main()
{
    return 0;
}
