/* Resource identifiers of the download dialog. */
#ifndef AMBRIX_RESOURCE_H
#define AMBRIX_RESOURCE_H

#define IDD_DOWNLOAD 101
#define IDC_FILENAME 1000
#define IDC_PROGRESS 1001

#endif
