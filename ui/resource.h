// Identifiers of the configuration dialog's template and controls.
#pragma once

#define IDD_SUBTITLE_REMOVAL 101

#define IDC_DIRECTORY 1022
#define IDC_RADIUS_VALUE 1043
#define IDC_SHOW_PREVIEW 1046
#define IDC_MODE_FINAL 1051
#define IDC_MODE_ORIGINAL 1052
#define IDC_MODE_MASK 1056
#define IDC_INTERLACED 1059
#define IDC_POWER_VALUE 1064
#define IDC_DEPTH_VALUE 1065
#define IDC_ASPECT_VALUE 1066
#define IDC_POWER 1067
#define IDC_DEPTH 1068
#define IDC_ASPECT 1069
#define IDC_RADIUS 1070
