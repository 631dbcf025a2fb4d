#pragma once

// The database engine: DBEngine opens a Database, a Database opens a Recordset.
#include "platform/dao/database.h"
#include "platform/dao/dbengine.h"
#include "platform/dao/recordset.h"
