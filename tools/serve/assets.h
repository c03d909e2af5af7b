// The page's files, built into the program (assets.cpp is generated at build
// time from tools/serve/web/), so no request path reaches the file system.
#pragma once

#include <cstddef>
#include <string_view>

namespace trelvo_serve {

struct Asset {
    const char* path;  // "/index.html"
    const char* type;  // MIME type
    const unsigned char* data;
    size_t size;
};

// The asset served at `path` ("/" is "/index.html"), or null.
const Asset* findAsset(std::string_view path);

}  // namespace trelvo_serve
