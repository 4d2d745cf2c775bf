// The SQLite and libpq declarations of the log recorders' native half are
// written from the libraries' documentation (so that building needs neither's
// headers); they must agree with the headers where the system has them.

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <cstddef>

#include "libpq_api.h"
#include "sqlite_api.h"

namespace {

namespace sq = telem_pyb_log::sqlite;
namespace pq = telem_pyb_log::pq;

TEST(ApiDeclarationsTest, SqliteConstantsAreTheHeaders) {
    EXPECT_EQ(sq::kOk, SQLITE_OK);
    EXPECT_EQ(sq::kBusy, SQLITE_BUSY);
    EXPECT_EQ(sq::kTooBig, SQLITE_TOOBIG);
    EXPECT_EQ(sq::kConstraint, SQLITE_CONSTRAINT);
    EXPECT_EQ(sq::kMismatch, SQLITE_MISMATCH);
    EXPECT_EQ(sq::kLimitLength, SQLITE_LIMIT_LENGTH);
    EXPECT_EQ(sq::kInterrupt, SQLITE_INTERRUPT);
    EXPECT_EQ(sq::kDbConfigNoCkptOnClose, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE);
    EXPECT_EQ(sq::kRow, SQLITE_ROW);
    EXPECT_EQ(sq::kDone, SQLITE_DONE);
    EXPECT_EQ(sq::kOpenReadOnly, SQLITE_OPEN_READONLY);
    EXPECT_EQ(sq::kOpenReadWrite, SQLITE_OPEN_READWRITE);
    EXPECT_EQ(sq::kOpenCreate, SQLITE_OPEN_CREATE);
    EXPECT_EQ(sq::kOpenNoMutex, SQLITE_OPEN_NOMUTEX);
    EXPECT_EQ(sq::kLimitVariableNumber, SQLITE_LIMIT_VARIABLE_NUMBER);
    EXPECT_EQ(sq::kFcntlHasMoved, SQLITE_FCNTL_HAS_MOVED);
    EXPECT_EQ(sq::kInteger, SQLITE_INTEGER);
    EXPECT_EQ(sq::kFloat, SQLITE_FLOAT);
    EXPECT_EQ(sq::kText, SQLITE_TEXT);
    EXPECT_EQ(sq::kNull, SQLITE_NULL);
    EXPECT_EQ(reinterpret_cast<void*>(sq::kStatic), reinterpret_cast<void*>(SQLITE_STATIC));
    EXPECT_EQ(reinterpret_cast<void*>(sq::kTransient), reinterpret_cast<void*>(SQLITE_TRANSIENT));
}

TEST(ApiDeclarationsTest, LibpqConstantsAreTheHeaders) {
    EXPECT_EQ(pq::kConnectionOk, CONNECTION_OK);
    EXPECT_EQ(pq::kConnectionBad, CONNECTION_BAD);
    EXPECT_EQ(pq::kPollingFailed, PGRES_POLLING_FAILED);
    EXPECT_EQ(pq::kPollingReading, PGRES_POLLING_READING);
    EXPECT_EQ(pq::kPollingWriting, PGRES_POLLING_WRITING);
    EXPECT_EQ(pq::kPollingOk, PGRES_POLLING_OK);
    EXPECT_EQ(pq::kCommandOk, PGRES_COMMAND_OK);
    EXPECT_EQ(pq::kTuplesOk, PGRES_TUPLES_OK);
    EXPECT_EQ(pq::kCopyIn, PGRES_COPY_IN);
    EXPECT_EQ(pq::kTransIdle, PQTRANS_IDLE);
    EXPECT_EQ(pq::kDiagSqlstate, PG_DIAG_SQLSTATE);
    EXPECT_EQ(pq::kDiagContext, PG_DIAG_CONTEXT);
}

TEST(ApiDeclarationsTest, ConninfoOptionHasTheHeadersLayout) {
    EXPECT_EQ(sizeof(pq::ConninfoOption), sizeof(PQconninfoOption));
    EXPECT_EQ(offsetof(pq::ConninfoOption, keyword), offsetof(PQconninfoOption, keyword));
    EXPECT_EQ(offsetof(pq::ConninfoOption, val), offsetof(PQconninfoOption, val));
    EXPECT_EQ(offsetof(pq::ConninfoOption, dispsize), offsetof(PQconninfoOption, dispsize));
}

}  // namespace
