#include "norv/telem/TelemException.h"
#include "norv/telem/backend/log/Point.h"

namespace norv::telem::backend::log {

Point ConvertPointToDb(const TsMetadata& meta, const TsPoint& point) {
    if (meta.tsname.empty()) {
        throw TelemException("ConvertPointToDb: the metadata has an empty tsname; a log point needs its series name");
    }
    Point db;
    db.mtime = point.mtime;
    db.tsname = meta.tsname;
    db.value = point.value_str();
    db.btype = meta.btype;
    db.units = meta.units;
    db.comment = meta.comment;
    db.origin = meta.origin;
    return db;
}

}  // namespace norv::telem::backend::log
