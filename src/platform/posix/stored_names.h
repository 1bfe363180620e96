// The spelling a folder stores a name under, where its file system ignores
// letter case: what a replace's old file was called just before it was set
// aside, whatever the run's own index recalls.
#pragma once

#include <sys/types.h>

#include <string>

// StoredNameNow for a file known to lie on that device: where names keep
// their case, no call at all. On a disk whose every change passes this
// kernel (exFAT), the folder is listed once and then kept up to date
// through inotify, the run's own changes and every other program's alike;
// on a share, or where no watch can be had, it is listed each time.
bool StoredNameNowOn(dev_t device, const std::string& path, std::string& stored);
