// The NSE security and contract masters: loaded once into the instrument map
// when the dialog starts, securities first, through the dialog's database
// connection.
//
// Each loader writes "C:\Schema.ini" (the folder FilePlaces::SystemDriveDir
// stands for "C:\"), checks that its master opens, queries it and enters every
// equity (series EQ) or future (option type XX) under two keys: its key by name
// and "%d,%s" of the segment (1 securities, 2 contracts) and the token text as
// the file has it. A future's expiry (seconds since 1 January 1980, 00:00 local
// time) enters its name as "%02d%.3s%04d" (day, "JAN".."DEC", year), or as
// "00JAN0000" when it falls outside the years 0 to 9999. Failures go to the log
// list and to message boxes.
//
// Results: 0 when Schema.ini cannot be written or the master cannot be opened;
// 1 otherwise, also when the database connection fails (nothing is loaded then).
//
// Thread safety: run on the dialog thread before any receiver starts.
#pragma once

#include "feedstate/feed_context.h"
#include "feedstate/file_places.h"
#include "feedstate/log_list.h"
#include "feedstate/platform.h"
#include "instruments/ado_database.h"
#include "instruments/instrument_map.h"

namespace fh {

inline constexpr char kMasterConnectionString[] =
    "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\;Extended Properties='text;HDR=Yes;FMT=Delimited(|)';";
inline constexpr char kSecurityQuery[] =
    "Select FieldName1,FieldName2,FieldName3 from [security.txt] where FieldName3 = 'EQ';";
inline constexpr char kContractQuery[] =
    "Select FieldName1,FieldName3,FieldName4,FieldName7,FieldName8,FieldName9 from [contract.txt] where "
    "FieldName9 = 'XX';";

int LoadSecurityMaster(const FilePlaces& places, LogList& log, MessageBoxes& messageBoxes, CADODatabase& database,
                       InstrumentMap& map);
int LoadContractMaster(const FilePlaces& places, LogList& log, MessageBoxes& messageBoxes, CADODatabase& database,
                       InstrumentMap& map);

inline int LoadSecurityMaster(FeedContext& context, CADODatabase& database, InstrumentMap& map) {
  return LoadSecurityMaster(context.places, context.log, context.messageBoxes, database, map);
}
inline int LoadContractMaster(FeedContext& context, CADODatabase& database, InstrumentMap& map) {
  return LoadContractMaster(context.places, context.log, context.messageBoxes, database, map);
}

}  // namespace fh
