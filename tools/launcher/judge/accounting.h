// Every record the file system acknowledged must be somewhere: verified by a reader before its
// log was deleted, or still on disk for the last look. A file system that says yes to a write
// and then drops it shows nowhere else: no reader meets a gap it never reaches.
#pragma once

#include <string>
#include <vector>

#include "last_look.h"
#include "process.h"
#include "progress.h"

// "4,424"
std::string groupedNumber(unsigned long n);

// Each writer that gave its account, against what the readers verified and what each last
// look found. A place whose look stopped at a defect, or read only the newest logs, does not
// count: the defect is reported on its own. Readers that did not give theirs (killed, or
// stopped by a defect) leave the account open: the run fails for them anyway.
std::vector<Finding> judgeAcknowledged(const std::vector<Process>& processes,
                                       const std::vector<PlaceLook>& looks);

// Damage the last look found: a failure, except a record cut short at the end of last_log
// when a writer was killed (it died in the middle of its write), which is a warning.
void judgeLooks(const std::vector<Process>& processes, const std::vector<PlaceLook>& looks,
                std::vector<Finding>& failures, std::vector<Finding>& warnings);
