#pragma once

#include <filesystem>
#include <string>

namespace slkserver {

// A PNG of at most `edge` pixels a side for an image file; empty when it is not an image.
std::string scaledImagePng(const std::filesystem::path& image, int edge = 400);
// A PNG of at most `edge` pixels a side of a movie's picture about one second in (or its first
// when shorter); empty when no picture can be decoded.
std::string videoFramePng(const std::filesystem::path& movie, int edge = 400);
// The picture shown for uploads that are not images.
const std::string& placeholderPng();

} // namespace slkserver
