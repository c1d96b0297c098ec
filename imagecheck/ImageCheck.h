#pragma once
// May this image be burned into the connected chip. The image-check engineer owns this header.

// True to go on; false after the reason has been printed. path may be null.
bool CheckImageFile(const char* path);
