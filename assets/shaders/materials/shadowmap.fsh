#version 430
// Shadow maps keep depth only.

void main()
{
}
