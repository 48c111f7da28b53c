// Whether the module is to go without its whole-file image: the fuzz targets link
// image_refusal.cpp in place of the platform's image memory, so the module's code is unchanged.
#pragma once

extern bool gRefuseImage;
