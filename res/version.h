// The program's version, shown in its file properties.
#pragma once
#define QVS_VERSION_MAJOR 1
#define QVS_VERSION_MINOR 0
#define QVS_VERSION_PATCH 0
#define QVS_VERSION_TEXT "1.0.0.0"
