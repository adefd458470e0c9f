// The version every program of ours carries as a marked text, so that the about box can tell it
// (there are no version resources in these files).
#ifndef BKL_VERSION
#error "BKL_VERSION is set by the build"
#endif

extern "C" {
__attribute__((used)) const char bklFileVersion[] = "BKL-FILE-VERSION:" BKL_VERSION ".0";
}
