#pragma once

#include <filesystem>
#include <string>

namespace slkserver {

// A PNG of at most `edge` pixels a side for an image file; empty when it is not an image.
std::string scaledImagePng(const std::filesystem::path& image, int edge = 400);
// The picture shown for uploads that are not images.
const std::string& placeholderPng();

} // namespace slkserver
