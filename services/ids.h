/* Message, command, control and resource identifiers. Plain #defines: the resource compiler
   reads this file too. */
#ifndef CALDERVINE_IDS_H
#define CALDERVINE_IDS_H

#define WM_SHARE_SOCKET 1124      /* WM_USER + 100: notifications of listenSocket and the peer's socket */
#define WM_FETCH_SOCKET 1125      /* WM_USER + 101: fetchSocket notifications, to the dialog */
#define WM_APPLY_TITLE_RULE 1126  /* WM_USER + 102: a worker asks the UI thread to apply a title rule */
#define WM_SHARE_WORKER_DONE 1127 /* WM_USER + 103: a listing or upload worker has ended */
#define WM_SHARE_CONNECTION_GONE 1130 /* WM_USER + 106: a replaced peer's socket can be closed */
#define WM_FETCH_ENDED 1131       /* WM_USER + 107: the receiver has ended with its connection: Connect is offered again */
#define WM_LISTING_ENTRIES 1132   /* WM_USER + 108: the receiver hands a batch of listing entries to the list */

#define IDM_CONNECT 40000
#define IDM_EXIT 40001
#define IDM_ABOUT 40006
#define IDM_DOWNLOAD 55

#define IDD_CONNECT_OK 50
#define IDD_CONNECT_CANCEL 51
#define IDC_SITE 52
#define IDC_ADDRESS 53
#define IDC_PORT 54

#define IDR_MAIN_MENU 100
#define IDI_CALDERVINE 500

/* Exit codes. */
#define EXIT_CONFIRMED 0       /* the user answered Yes to the exit question */
#define EXIT_NOT_NT 1          /* not an NT-family system: the warning's answer, IDOK */
#define EXIT_PORT_TAKEN 2      /* port 21120 is taken (a second copy): no message */
#define EXIT_PATH_TOO_LONG 3   /* the working folder's path leaves no room for Share and Incoming */

#endif
