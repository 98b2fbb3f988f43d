// Resource ids of the communication settings dialog, shared by the
// resource script and the Windows view. Plain #defines, because the
// resource compiler reads this file too.
#ifndef PELMORA_UI_DIALOG_IDS_H_
#define PELMORA_UI_DIALOG_IDS_H_

#define IDD_SETTINGS 8000

#define IDC_PORT_EDIT 8000
#define IDC_ADDRESS 8001
#define IDC_UPDATE_BUTTON 8002
#define IDC_STATION_LIST 8003

#endif  // PELMORA_UI_DIALOG_IDS_H_
