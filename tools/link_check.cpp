// The program of a layer's link check: every object of one layer, linked with only the layers below it, so a call
// into a layer above is an undefined reference and the build fails.
int main()
{
    return 0;
}
