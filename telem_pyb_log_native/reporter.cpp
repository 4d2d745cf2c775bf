#include "reporter.h"

#include <Python.h>

#include <cstdio>

#include "waker.h"

namespace telem_pyb_log {

namespace {

std::string Seconds(std::int64_t ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ns) / 1e9);
    return text;
}

}  // namespace

void LogToPython(int level, const std::string& message) {
    if (!Py_IsInitialized() || _Py_IsFinalizing()) {
        std::fprintf(stderr, "telem_pyb_log: %s\n", message.c_str());
        return;
    }
    // Plain API calls, no objects with destructors: see gil.h on unwinding.
    const PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* result = nullptr;
    PyObject* logging = PyImport_ImportModule("logging");
    if (logging != nullptr) {
        PyObject* logger = PyObject_CallMethod(logging, "getLogger", "s", "telem_pyb_log");
        if (logger != nullptr) {
            PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
            if (text != nullptr) {
                result = PyObject_CallMethod(logger, "log", "iO", level, text);
                Py_DECREF(text);
            }
            Py_DECREF(logger);
        }
        Py_DECREF(logging);
    }
    if (result == nullptr) {
        PyErr_WriteUnraisable(nullptr);
    }
    Py_XDECREF(result);
    PyGILState_Release(gil);
}

Reporter::Reporter(std::string label, std::string where, double log_interval, std::uint64_t max_pending)
    : label_(std::move(label)), where_(std::move(where)), interval_ns_(ToNs(log_interval)), max_pending_(max_pending) {}

void Reporter::Warn(const std::string& message) const { LogToPython(kLogWarning, label_ + ": " + message); }

void Reporter::Error(const std::string& message) const { LogToPython(kLogError, label_ + ": " + message); }

std::int64_t Reporter::Drops(std::uint64_t dropped, std::int64_t now, bool final) {
    drops_seen_ = dropped;
    if (dropped == drops_said_) {
        return kNever;
    }
    if (!final && last_drop_log_ != 0 && now - last_drop_log_ < interval_ns_) {
        return last_drop_log_ + interval_ns_;
    }
    Warn("the queue of " + where_ + " is full (" + std::to_string(max_pending_) + " rows); "
         + std::to_string(dropped - drops_said_) + " points dropped"
         + (drops_said_ > 0 ? " since the last warning" : "") + ", " + std::to_string(dropped) + " in all");
    drops_said_ = dropped;
    last_drop_log_ = now;
    return kNever;
}

void Reporter::WriteFailed(const std::string& cause, std::uint32_t attempts, std::uint64_t waiting,
                           std::int64_t started, std::int64_t now) {
    if (attempts == 1) {
        failing_since_ = started;
    }
    if (!failing_ && attempts >= 2) {
        failing_ = true;
        failures_since_warning_ = 0;
        last_failure_warning_ = now;
        Warn("writes to " + where_ + " are failing: " + cause + "; " + std::to_string(waiting)
             + " rows waiting; retrying");
    } else if (failing_) {
        ++failures_since_warning_;
        if (now - last_failure_warning_ >= interval_ns_) {
            Warn("writes to " + where_ + " still failing after " + Seconds(now - failing_since_) + " ("
                 + std::to_string(failures_since_warning_) + " more failed attempts): " + cause + "; "
                 + std::to_string(waiting) + " rows waiting");
            failures_since_warning_ = 0;
            last_failure_warning_ = now;
        }
    }
}

void Reporter::WriteSucceeded(std::uint32_t attempts, std::uint64_t waiting, std::int64_t now) {
    if (failing_) {
        Warn("writes to " + where_ + " succeed again after " + Seconds(now - failing_since_) + " and "
             + std::to_string(attempts) + " failed attempts; " + std::to_string(waiting) + " rows waiting");
        failing_ = false;
    }
}

void Reporter::PruneFailed(const std::string& cause, std::int64_t now) {
    if (!pruning_fails_) {
        pruning_fails_ = true;
        prune_failing_since_ = last_prune_warning_ = now;
        prune_failures_ = 0;
        Warn("deleting the rows older than the retention from " + where_ + " failed: " + cause
             + "; tried again in a second (delivery goes on)");
        return;
    }
    ++prune_failures_;
    if (now - last_prune_warning_ >= interval_ns_) {
        Warn("deleting the rows older than the retention from " + where_ + " still fails after "
             + Seconds(now - prune_failing_since_) + " (" + std::to_string(prune_failures_)
             + " more failed rounds): " + cause);
        prune_failures_ = 0;
        last_prune_warning_ = now;
    }
}

void Reporter::PruneSucceeded(std::int64_t now) {
    if (pruning_fails_) {
        Warn("deleting the rows older than the retention from " + where_ + " succeeds again after "
             + Seconds(now - prune_failing_since_));
        pruning_fails_ = false;
    }
}

void Reporter::SetAside(const std::string& what, const std::string& why, std::int64_t now, bool final) {
    if (!what.empty()) {
        ++set_aside_total_;
        last_reason_ = why;
        if (last_set_aside_log_ == 0) {
            Error(where_ + " refuses " + what + ": " + why + "; it is set aside (never stored) and the rest is "
                  "delivered");
            last_set_aside_log_ = now;
            return;
        }
        ++set_aside_unsaid_;
    }
    if (set_aside_unsaid_ > 0 && (final || now - last_set_aside_log_ >= interval_ns_)) {
        Error(where_ + ": " + std::to_string(set_aside_unsaid_) + " more rows set aside since the last message ("
              + std::to_string(set_aside_total_) + " in all), the last one " + why);
        set_aside_unsaid_ = 0;
        last_set_aside_log_ = now;
    }
}

}  // namespace telem_pyb_log
