#include "sqlite_reader.h"

#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "norv/telem/TelemException.h"
#include "sqlite_api.h"
#include "typed_fields.h"

namespace py = pybind11;

namespace telem_pyb_log {

namespace {

using Param = std::variant<std::monostate, long long, double, std::string>;

struct Query {
    std::string sql;
    std::vector<Param> params;
};

// numpy's NaT: the time of a row without one.
constexpr std::int64_t kNoTime = std::numeric_limits<std::int64_t>::min();
constexpr std::size_t kFixedTimeSize = 27;  // "YYYY-MM-DDTHH:MM:SS.ffffffZ"

// Times of the fixed-width form differ from the row before in their
// microseconds, mostly: the rest is parsed once a second.
class TimeParser {
public:
    bool Parse(std::string_view text, std::int64_t& micros) {
        unsigned fraction;
        if (text.size() == kFixedTimeSize && text[19] == '.' && text[26] == 'Z'
            && typed_detail::Digits(text.data() + 20, 6, fraction)) {
            if (second_ == kNoTime || std::memcmp(text.data(), head_, 19) != 0) {
                std::int64_t whole;
                if (!ParseTime(std::string_view(text.data(), 19), whole)) {
                    return false;
                }
                std::memcpy(head_, text.data(), 19);
                second_ = whole;
            }
            micros = second_ + fraction;
            return true;
        }
        return ParseTime(text, micros);
    }

private:
    char head_[19] = {};
    std::int64_t second_ = kNoTime;
};

class Reader {
public:
    Reader(const sqlite::Api& api, std::string path, bool read_only) : api_(api), path_(std::move(path)) {
        const int flags = (read_only ? sqlite::kOpenReadOnly : sqlite::kOpenReadWrite) | sqlite::kOpenNoMutex;
        const int rc = api_.open_v2(path_.c_str(), &conn_, flags, nullptr);
        if (rc != sqlite::kOk) {
            Fail();
        }
        // A reader of a WAL file waits for a writer only while the WAL is
        // recovered or reset.
        api_.busy_timeout(conn_, 5000);
    }

    ~Reader() {
        if (stmt_ != nullptr) {
            api_.finalize(stmt_);
        }
        if (conn_ != nullptr) {
            api_.close_v2(conn_);
        }
    }

    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Runs the queries in one read transaction (one snapshot), appending
    // each row's time and number.
    void Read(const std::vector<Query>& queries, std::vector<std::int64_t>& times, std::vector<double>& numbers) {
        Exec("BEGIN");
        for (const Query& query : queries) {
            Run(query, times, numbers);
        }
        Exec("COMMIT");
    }

private:
    [[noreturn]] void Fail(const std::string& detail = "") {
        const std::string why = detail.empty() ? (conn_ != nullptr ? api_.errmsg(conn_) : "out of memory") : detail;
        throw norv::telem::TelemException("cannot read " + path_ + ": " + why);
    }

    void Exec(const char* sql) {
        if (api_.exec(conn_, sql, nullptr, nullptr, nullptr) != sqlite::kOk) {
            Fail();
        }
    }

    void Run(const Query& query, std::vector<std::int64_t>& times, std::vector<double>& numbers) {
        if (api_.prepare_v2(conn_, query.sql.c_str(), static_cast<int>(query.sql.size()), &stmt_, nullptr)
                != sqlite::kOk
            || stmt_ == nullptr) {
            Fail();
        }
        if (api_.column_count(stmt_) != 2) {
            Fail("the query does not give two columns");
        }
        int index = 1;
        for (const Param& param : query.params) {
            int rc = sqlite::kOk;
            if (const auto* i = std::get_if<long long>(&param)) {
                rc = api_.bind_int64(stmt_, index, *i);
            } else if (const auto* d = std::get_if<double>(&param)) {
                rc = api_.bind_double(stmt_, index, *d);
            } else if (const auto* s = std::get_if<std::string>(&param)) {
                rc = api_.bind_text(stmt_, index, s->data(), static_cast<int>(s->size()), sqlite::kStatic);
            } else {
                rc = api_.bind_null(stmt_, index);
            }
            if (rc != sqlite::kOk) {
                Fail();
            }
            ++index;
        }
        int rc;
        while ((rc = api_.step(stmt_)) == sqlite::kRow) {
            times.push_back(Time());
            numbers.push_back(Number());
        }
        if (rc != sqlite::kDone) {
            Fail();
        }
        api_.finalize(stmt_);
        stmt_ = nullptr;
    }

    std::int64_t Time() {
        switch (api_.column_type(stmt_, 0)) {
            case sqlite::kNull:
                return kNoTime;
            case sqlite::kInteger:
                return api_.column_int64(stmt_, 0);
            case sqlite::kText: {
                const auto* text = reinterpret_cast<const char*>(api_.column_text(stmt_, 0));
                const std::string_view view(text != nullptr ? text : "", api_.column_bytes(stmt_, 0));
                std::int64_t micros;
                if (!times_.Parse(view, micros)) {
                    Fail("a row's time is not a time: '" + std::string(view.substr(0, 64)) + "'");
                }
                return micros;
            }
            default:
                Fail("a row's time is neither text nor an integer");
        }
    }

    double Number() {
        switch (api_.column_type(stmt_, 1)) {
            case sqlite::kNull:
                return std::numeric_limits<double>::quiet_NaN();
            case sqlite::kInteger:
            case sqlite::kFloat:
                return api_.column_double(stmt_, 1);
            default:
                Fail("a row's number is not a number");
        }
    }

    const sqlite::Api& api_;
    std::string path_;
    sqlite::Connection* conn_ = nullptr;
    sqlite::Statement* stmt_ = nullptr;
    TimeParser times_;
};

Param ToParam(py::handle value) {
    if (value.is_none()) {
        return std::monostate{};
    }
    if (py::isinstance<py::bool_>(value)) {
        throw py::type_error("a query parameter is a bool");
    }
    if (py::isinstance<py::int_>(value)) {
        return value.cast<long long>();
    }
    if (py::isinstance<py::float_>(value)) {
        return value.cast<double>();
    }
    if (py::isinstance<py::str>(value)) {
        return value.cast<std::string>();
    }
    throw py::type_error("a query parameter is not None, int, float or str");
}

}  // namespace

void RegisterSqliteReader(py::module_& m) {
    m.def(
        "read_sqlite_numbers",
        [](const std::string& sqlite_module, const std::string& path, bool read_only, py::sequence queries) {
            std::vector<Query> list;
            for (py::handle item : queries) {
                const auto pair = item.cast<py::tuple>();
                if (pair.size() != 2) {
                    throw py::value_error("a query is (sql, parameters)");
                }
                Query query{pair[0].cast<std::string>(), {}};
                for (py::handle param : pair[1].cast<py::sequence>()) {
                    query.params.push_back(ToParam(param));
                }
                list.push_back(std::move(query));
            }
            std::vector<std::int64_t> times;
            std::vector<double> numbers;
            {
                py::gil_scoped_release release;
                const sqlite::Api& api = sqlite::LoadApi(sqlite_module);
                Reader(api, path, read_only).Read(list, times, numbers);
            }
            return py::make_tuple(
                py::bytearray(reinterpret_cast<const char*>(times.data()), times.size() * sizeof(std::int64_t)),
                py::bytearray(reinterpret_cast<const char*>(numbers.data()), numbers.size() * sizeof(double)));
        },
        py::arg("sqlite_module"), py::arg("path"), py::arg("read_only"), py::arg("queries"),
        "Runs (sql, parameters) queries of two columns, time and number, in one read transaction; returns their "
        "rows' times (int64 microseconds since the epoch, the minimum for NULL) and numbers (float64, NaN for "
        "NULL) as native-endian bytearrays. A time is an integer or an ISO 8601 text.");
}

}  // namespace telem_pyb_log
