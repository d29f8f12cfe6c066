// Meshes no project supplies: the unit cube drawn for area lights and the line meshes of the selection overlay.
#pragma once

struct Geometry;
class Object;

// Null until entLoadBuiltinObjects has run.
extern Object* builtinCube;          // "lwobj/simplecube.lobj" scaled to unit extent, white albedo
extern Object* builtinBoxOutline;    // box from 0 to 1
extern Object* builtinConeOutline;   // rim of radius 1 at z = 2, apex at the origin
extern Object* builtinSphereOutline; // three circles of radius 0.5

extern const char* const builtinCubePath; // "lwobj/simplecube.lobj"

// Builds the four objects once per process; later calls do nothing. A missing or unreadable cube file is logged
// and the cube is built from the program's own copy of it.
void entLoadBuiltinObjects();
// Frees them so the next entLoadBuiltinObjects builds them again (tests).
void entReleaseBuiltinObjects();

// VTXCoords and VTXAlbedo line lists (vertex pairs), one surface, no indices, uploaded.
Geometry* geomCreateBoxOutline();    // the 12 edges of the cube from -0.5 to 0.5: 24 vertices
Geometry* geomCreateConeOutline();   // ten-sided rim at z = 1, tiny apex ring, ten sides: 60 vertices
Geometry* geomCreateSphereOutline(); // circles in the x-z, x-y and y-z planes: 384 line vertices of 768
