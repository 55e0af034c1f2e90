// tinygltf's implementation, compiled here rather than linked from Debian's
// shared library so that the sanitizer build instruments the parser the
// readers feed untrusted files to. Images are never decoded (see
// gltf_reader.cpp), so stb_image is left out.
#define TINYGLTF_IMPLEMENTATION
#include <tiny_gltf.h>
