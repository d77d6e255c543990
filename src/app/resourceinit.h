#pragma once

// The pictures are compiled into the library; a static library needs an
// explicit reference so the linker keeps them. Safe to call more than once.
void lumoraInitResources();
