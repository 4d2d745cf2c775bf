#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "norv/telem/TelemException.h"
#include "postgres_internal.h"
#include "postgres_store.h"
#include "typed_fields.h"

namespace telem_pyb_log {

using namespace postgres;

std::string PostgresStore::Quoted(const std::string& identifier) const {
    char* quoted = api_.escapeIdentifier(conn_, identifier.data(), identifier.size());
    if (quoted == nullptr) {
        Fail("cannot quote the name " + identifier);
    }
    std::string text = quoted;
    api_.freemem(quoted);
    return text;
}

// What keeps `relation` from being the log table (or, with `ledger`, the
// ledger) of a recorder; empty if nothing does or it does not exist. Other
// columns are allowed if they take a default.
std::string PostgresStore::Regclass(const std::string& relation) const {
    char* literal = api_.escapeLiteral(conn_, relation.data(), relation.size());
    if (literal == nullptr) {
        Fail("cannot quote the name " + relation);
    }
    const std::string name = std::string("to_regclass(quote_ident(") + literal + "))";
    api_.freemem(literal);
    return name;
}

bool PostgresStore::Exists(const std::string& relation, std::int64_t deadline) {
    const ResultPtr found = Run("SELECT " + Regclass(relation) + " IS NOT NULL", pq::kTuplesOk, deadline);
    return std::string(api_.getvalue(found.get(), 0, 0)) == "t";
}

std::string PostgresStore::ShapeProblems(const std::string& relation, bool ledger, std::int64_t deadline) {
    const std::string name = Regclass(relation);
    const ResultPtr kind =
        Run("SELECT relkind FROM pg_class WHERE oid = " + name, pq::kTuplesOk, deadline);
    if (api_.ntuples(kind.get()) == 0) {
        return "";
    }
    const std::string relkind = api_.getvalue(kind.get(), 0, 0);
    if (relkind != "r" && relkind != "p") {
        return "it is not a table";
    }
    const ResultPtr columns = Run(
        "SELECT a.attname, format_type(a.atttypid, a.atttypmod), a.attnotnull AND NOT a.atthasdef AND "
        "a.attidentity = '' FROM pg_attribute a WHERE a.attrelid = " + name + " AND a.attnum > 0 AND "
        "NOT a.attisdropped ORDER BY a.attnum",
        pq::kTuplesOk, deadline);
    std::vector<std::pair<std::string, std::string>> wanted;
    if (ledger) {
        wanted = {{"recorder_id", "uuid"}, {"stored", "bigint"}};
    } else {
        wanted = {{"id", "bigint"}};
        for (const char* c : kColumns) {
            wanted.emplace_back(c, "text");
        }
    }
    // Added by an upgrade where they are missing.
    const std::pair<std::string, std::string> typed[] = {{"time", "timestamp with time zone"},
                                                         {"number", "double precision"}};
    std::string problems;
    const auto add = [&](const std::string& p) { problems += (problems.empty() ? "" : "; ") + p; };
    std::vector<bool> seen(wanted.size(), false);
    for (int row = 0; row < api_.ntuples(columns.get()); ++row) {
        const std::string column = api_.getvalue(columns.get(), row, 0);
        const std::string type = api_.getvalue(columns.get(), row, 1);
        const bool needs_value = std::string(api_.getvalue(columns.get(), row, 2)) == "t";
        bool ours = false;
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            if (wanted[i].first == column) {
                ours = seen[i] = true;
                if (type != wanted[i].second) {
                    add(column + " is " + type + ", not " + wanted[i].second);
                }
            }
        }
        for (const auto& [name, wanted_type] : typed) {
            if (!ledger && name == column) {
                ours = true;
                if (type != wanted_type) {
                    add(column + " is " + type + ", not " + wanted_type);
                }
            }
        }
        if (!ours && needs_value) {
            add(column + " needs a value that log records do not give");
        }
    }
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (!seen[i]) {
            add("there is no column " + wanted[i].first);
        }
    }
    return problems;
}

// The tables are there, of this version, with the columns of log records,
// and no upgrade is left to do: then connecting changes nothing, and takes
// no lock that another session (one that a lost host left in the middle of
// a write) may hold. Reads the catalogs and the schema table only.
bool PostgresStore::TablesReady(std::int64_t deadline) {
    const ResultPtr found =
        Run("SELECT current_setting('max_identifier_length'), " + Regclass(table_) + " IS NOT NULL AND "
                + Regclass(ledger_) + " IS NOT NULL AND " + Regclass(series_) + " IS NOT NULL AND "
                + Regclass(schema_) + " IS NOT NULL AND " + Regclass(table_ + "_tsname_time") + " IS NOT NULL",
            pq::kTuplesOk, deadline);
    CheckNames(std::stoul(api_.getvalue(found.get(), 0, 0)));
    copy_sql_ = "COPY " + Quoted(table_)
                + " (mtime, tsname, value, btype, units, comment, origin, time, number) FROM STDIN";
    if (std::string(api_.getvalue(found.get(), 0, 1)) != "t") {
        return false;
    }
    const ResultPtr schema = Run("SELECT max(version), max(unfilled_upto) FROM " + Quoted(schema_), pq::kTuplesOk,
                                 deadline);
    if (api_.getisnull(schema.get(), 0, 0) != 0 || std::stoll(api_.getvalue(schema.get(), 0, 0)) != kSchemaVersion
        || std::stoll(api_.getvalue(schema.get(), 0, 1)) != 0) {
        return false;
    }
    return ShapeProblems(table_, false, deadline).empty() && ShapeProblems(ledger_, true, deadline).empty();
}

void PostgresStore::CheckNames(std::size_t max_length) const {
    if (table_.size() > max_length) {
        throw norv::telem::TelemException(label_ + ": the table name " + table_ + " is longer than the "
                                          + std::to_string(max_length) + " bytes that PostgreSQL allows");
    }
    if (ledger_.size() > max_length) {
        throw norv::telem::TelemException(
            label_ + ": the table name " + table_ + " is too long: the name of its ledger, " + ledger_ + ", would be "
            + std::to_string(ledger_.size()) + " bytes, more than the " + std::to_string(max_length)
            + " that PostgreSQL allows (keep table names to " + std::to_string(max_length - 10) + " bytes)");
    }
}

// A name that is another log table's ledger, series or schema table.
void PostgresStore::CheckNotAnothersPart(std::int64_t deadline) {
    for (const auto& [suffix_text, role] : {std::pair<const char*, const char*>{kLedgerSuffix, "ledger"},
                                            {kSeriesSuffix, "series table"},
                                            {kSchemaSuffix, "schema table"}}) {
        const std::size_t suffix = std::char_traits<char>::length(suffix_text);
        if (table_.size() > suffix && table_.compare(table_.size() - suffix, suffix, suffix_text) == 0) {
            const std::string owner = table_.substr(0, table_.size() - suffix);
            if (Exists(owner, deadline) && ShapeProblems(owner, false, deadline).empty()) {
                throw norv::telem::TelemException(label_ + ": the table name " + table_ + " is the name of the "
                                                  + role + " of the log table " + owner + "; choose another name");
            }
        }
    }
}

// The version of an existing table (1: one without a schema table).
long long PostgresStore::ExistingVersion(std::int64_t deadline) {
    long long version = 1;
    if (Exists(schema_, deadline)) {
        const ResultPtr found = Run("SELECT max(version) FROM " + Quoted(schema_), pq::kTuplesOk, deadline);
        if (api_.getisnull(found.get(), 0, 0) == 0) {
            version = std::stoll(api_.getvalue(found.get(), 0, 0));
        }
    }
    if (version > kSchemaVersion) {
        throw norv::telem::TelemException(
            label_ + ": the table " + table_ + " on PostgreSQL was made by a newer version of telem_pyb_log "
            "(schema " + std::to_string(version) + "; this version knows schemas up to "
            + std::to_string(kSchemaVersion) + "); record into it with that version");
    }
    return version;
}

// Creates what is missing, or upgrades what is there, under a lock that
// recorders starting at the same time share; then fills an upgrade's rows.
// The lock is the session's, taken before the transaction begins: the
// transaction then sees the catalogs as a recorder that held the lock
// before left them (its earlier lookups are not reused).
void PostgresStore::CreateTables(std::int64_t deadline) {
    try {
        Run(std::string("SELECT pg_advisory_lock(") + kCreateLock + ")", pq::kTuplesOk, deadline);
        Run("BEGIN", pq::kCommandOk, deadline);
        CheckNotAnothersPart(deadline);
        const bool existed = Exists(table_, deadline);
        const long long version = existed ? ExistingVersion(deadline) : kSchemaVersion;
        std::string problems = ShapeProblems(table_, false, deadline);
        if (!problems.empty()) {
            throw norv::telem::TelemException(label_ + ": the table " + table_ + " on PostgreSQL exists with other "
                                              "columns (" + problems + "); it cannot hold log records");
        }
        problems = ShapeProblems(ledger_, true, deadline);
        if (!problems.empty()) {
            throw norv::telem::TelemException(label_ + ": the table " + table_ + " needs " + ledger_
                                              + " as its ledger, which exists as another table (" + problems + ")");
        }
        if (!existed) {
            CreateTable(deadline);
        } else if (version < kSchemaVersion) {
            Upgrade(deadline);
        }
        CreateOthers(deadline);
        Run("COMMIT", pq::kCommandOk, deadline);
        Run(std::string("SELECT pg_advisory_unlock(") + kCreateLock + ")", pq::kTuplesOk, deadline);
        FillTypedColumns();
    } catch (...) {
        Drop();
        throw;
    }
}

void PostgresStore::CreateTable(std::int64_t deadline) {
    const std::string schema = Quoted(schema_);
    std::string fields;
    for (const char* c : kColumns) {
        fields += std::string(", ") + c + " text NOT NULL";
    }
    Run("CREATE TABLE " + Quoted(table_) + " (id bigint GENERATED ALWAYS AS IDENTITY" + fields
            + ", time timestamptz, number double precision)",
        pq::kCommandOk, deadline);
    Run("CREATE TABLE IF NOT EXISTS " + schema + " (version integer NOT NULL, unfilled_upto bigint NOT NULL)",
        pq::kCommandOk, deadline);
    Run("DELETE FROM " + schema, pq::kCommandOk, deadline);
    Run("INSERT INTO " + schema + " VALUES (2, 0)", pq::kCommandOk, deadline);
}

// The rows up to the last one lack their typed fields, which
// FillTypedColumns adds; later ones are written with them.
void PostgresStore::Upgrade(std::int64_t deadline) {
    const std::string table = Quoted(table_);
    const std::string schema = Quoted(schema_);
    Run("ALTER TABLE " + table + " ADD COLUMN IF NOT EXISTS time timestamptz, "
        "ADD COLUMN IF NOT EXISTS number double precision", pq::kCommandOk, deadline);
    Run("CREATE TABLE IF NOT EXISTS " + schema + " (version integer NOT NULL, unfilled_upto bigint NOT NULL)",
        pq::kCommandOk, deadline);
    Run("DELETE FROM " + schema, pq::kCommandOk, deadline);
    Run("INSERT INTO " + schema + " SELECT 2, coalesce(max(id), 0) FROM " + table, pq::kCommandOk, deadline);
    // The table has no index on id (nothing reads by it); the fill's
    // batches do, and it is dropped when they are done.
    Run("CREATE INDEX IF NOT EXISTS " + Quoted(table_ + "_upgrade_id") + " ON " + table + " (id)", pq::kCommandOk,
        deadline);
}

void PostgresStore::CreateOthers(std::int64_t deadline) {
    Run("CREATE INDEX IF NOT EXISTS " + Quoted(table_ + "_tsname_time") + " ON " + Quoted(table_) + " (tsname, time)",
        pq::kCommandOk, deadline);
    Run("CREATE TABLE IF NOT EXISTS " + Quoted(ledger_) + " (recorder_id uuid PRIMARY KEY, stored bigint NOT NULL)",
        pq::kCommandOk, deadline);
    Run("CREATE TABLE IF NOT EXISTS " + Quoted(series_) + " (key text PRIMARY KEY, tsid text NOT NULL, "
        "tsname text NOT NULL, btype text NOT NULL, units text NOT NULL, origin text NOT NULL, "
        "serial text NOT NULL, role text NOT NULL, comment text NOT NULL, json text NOT NULL, "
        "first_written timestamptz NOT NULL, last_written timestamptz NOT NULL)",
        pq::kCommandOk, deadline);
}

// Fills the typed columns of the rows an upgrade found, from their texts,
// newest first, kFillRows rows a transaction (each within write_timeout);
// <table>_schema keeps the last row not yet filled, so that a fill that was
// cut off goes on later.
void PostgresStore::FillTypedColumns() {
    const std::string table = Quoted(table_);
    const std::string schema = Quoted(schema_);
    for (;;) {
        const std::int64_t deadline = After(write_timeout_);
        Run("BEGIN", pq::kCommandOk, deadline);
        const ResultPtr upto_found =
            Run("SELECT unfilled_upto FROM " + schema + " FOR UPDATE", pq::kTuplesOk, deadline);
        const long long upto =
            api_.ntuples(upto_found.get()) == 0 ? 0 : std::stoll(api_.getvalue(upto_found.get(), 0, 0));
        if (upto <= 0) {
            Run("DROP INDEX IF EXISTS " + Quoted(table_ + "_upgrade_id"), pq::kCommandOk, deadline);
            Run("COMMIT", pq::kCommandOk, deadline);
            return;
        }
        const ResultPtr rows = Run("SELECT id, mtime, value FROM " + table + " WHERE id <= " + std::to_string(upto)
                                       + " ORDER BY id DESC LIMIT " + std::to_string(kFillRows),
                                   pq::kTuplesOk, deadline);
        const int count = api_.ntuples(rows.get());
        long long lowest = upto + 1;
        std::string values;
        for (int i = 0; i < count; ++i) {
            const TypedFields typed = TypedFromTexts(api_.getvalue(rows.get(), i, 1), api_.getvalue(rows.get(), i, 2));
            const char* id = api_.getvalue(rows.get(), i, 0);
            lowest = std::stoll(id);
            if (!typed.has_time && !typed.has_number) {
                continue;  // stays NULL: nothing to write
            }
            values += values.empty() ? "(" : ",(";
            values += id;
            values += ",";
            AppendTypedLiterals(values, typed);
            values += ")";
        }
        if (!values.empty()) {
            Run("UPDATE " + table + " AS t SET time = v.time, number = v.number FROM (VALUES " + values
                    + ") AS v (id, time, number) WHERE t.id = v.id AND t.id BETWEEN " + std::to_string(lowest)
                    + " AND " + std::to_string(upto),
                pq::kCommandOk, deadline);
        }
        const long long next = count < kFillRows ? 0 : lowest - 1;
        Run("UPDATE " + schema + " SET unfilled_upto = " + std::to_string(next), pq::kCommandOk, deadline);
        Run("COMMIT", pq::kCommandOk, deadline);
    }
}

// The typed fields as SQL literals: "time, number".
void PostgresStore::AppendTypedLiterals(std::string& out, const TypedFields& typed) {
    if (typed.has_time) {
        char text[kTimeTextSize];
        FormatTime(typed.time, text);
        out += "'";
        out.append(text, kTimeTextSize);
        out += "'::timestamptz,";
    } else {
        out += "NULL::timestamptz,";
    }
    if (typed.has_number) {
        out += "'";
        AppendNumberText(out, typed.number);
        out += "'::float8";
    } else {
        out += "NULL::float8";
    }
}

// One upsert statement per series that the batch's rows refer to, each
// ending with "; "; `count` is set to their number.
std::string PostgresStore::SeriesUpserts(const Batch& batch, std::size_t& count) {
    const std::vector<const Series*> series = written_series_.Unwritten(batch);
    std::string sql;
    for (const Series* s : series) {
        const norv::telem::TsMetadata& m = s->meta;
        const std::string* fields[] = {&m.tsid,   &m.tsname, &m.btype,   &m.units, &m.origin,
                                       &m.serial, &m.role,   &m.comment, &m.json};
        // The key: the nine texts, each after its length, hashed.
        std::string key, literals;
        for (const std::string* field : fields) {
            key += std::to_string(field->size()) + ":" + *field;
            literals += ", " + Literal(*field);
        }
        sql += "INSERT INTO " + Quoted(series_) + " AS s VALUES (md5(" + Literal(key) + ")" + literals
               + ", now(), now()) ON CONFLICT (key) DO UPDATE SET last_written = EXCLUDED.last_written; ";
    }
    count = series.size();
    return sql;
}

std::string PostgresStore::Literal(const std::string& text) const {
    char* quoted = api_.escapeLiteral(conn_, text.data(), text.size());
    if (quoted == nullptr) {
        Fail("cannot quote a text of the metadata");
    }
    std::string literal = quoted;
    api_.freemem(quoted);
    return literal;
}

}  // namespace telem_pyb_log
