// The numbers of the window's resources, shared by tallivan.rc and the code that loads them.
#ifndef TALLIVAN_WIN32_RESOURCE_IDS_H_
#define TALLIVAN_WIN32_RESOURCE_IDS_H_

// The "Go to line" dialog (Ctrl+G) and its number field.
#define TALLIVAN_GO_TO_DIALOG 101
#define TALLIVAN_GO_TO_LINE 1001

#endif  // TALLIVAN_WIN32_RESOURCE_IDS_H_
