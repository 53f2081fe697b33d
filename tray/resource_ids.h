/* Resource identifiers shared by the resource script and the code; plain
   defines because the resource compiler reads this file too. */
#pragma once

#define IDI_TRAY 101
#define IDD_CONNECT 102
#define IDC_ADDRESS 1001
#define IDC_ADDRESS_LABEL 1002
