// String IDs of the inventory records (the program's own string table).
#pragma once

#define IDS_INVALID_DATA    69  // "Invalid data in file %s:\n%s\n"
#define IDS_BEGIN_CONTENTS  74  // "_BeginContents"
#define IDS_END_CONTENTS    75  // "_EndContents"
