#pragma once

// Loads a bound record or recorder only from an initialised instance. Plain
// pybind11 turns None into a null `self` pointer and gives an instance made by
// `cls.__new__(cls)` lazily allocated, uninitialised storage; both would be
// read or called through. Either is refused here as an argument mismatch.

#include <pybind11/pybind11.h>

#include "norv/telem/telem.h"

namespace telem_pyb {

namespace detail = pybind11::detail;

// True unless `src` is an instance of `tinfo`'s Python type whose native part
// was never constructed by `__init__`.
inline bool IsInitialisedInstance(pybind11::handle src, const detail::type_info* tinfo) {
    if (tinfo == nullptr || !PyObject_TypeCheck(src.ptr(), tinfo->type)) {
        return true;  // not ours: the generic loader decides
    }
    auto* inst = reinterpret_cast<detail::instance*>(src.ptr());
    if (inst->simple_layout) {
        return inst->simple_instance_registered;
    }
    bool found = false;
    for (const auto& v_h : detail::values_and_holders(inst)) {
        if (PyType_IsSubtype(v_h.type->type, tinfo->type)) {
            if (!v_h.instance_registered()) {
                return false;
            }
            found = true;
        }
    }
    return found;
}

// Loads `caster` from `src` unless `src` is None or an uninitialised instance.
inline bool LoadInitialised(detail::type_caster_generic& caster, pybind11::handle src, bool convert) {
    return !src.is_none() && IsInitialisedInstance(src, caster.typeinfo)
           && caster.type_caster_generic::load(src, convert);
}

template <typename T>
class InitialisedInstanceCaster : public detail::type_caster_base<T> {
public:
    bool load(pybind11::handle src, bool convert) { return LoadInitialised(*this, src, convert); }
};

}  // namespace telem_pyb

namespace pybind11::detail {

template <>
class type_caster<norv::telem::TsPoint> : public telem_pyb::InitialisedInstanceCaster<norv::telem::TsPoint> {};
template <>
class type_caster<norv::telem::TsMetadata> : public telem_pyb::InitialisedInstanceCaster<norv::telem::TsMetadata> {};
template <>
class type_caster<norv::telem::TelemRecorder>
    : public telem_pyb::InitialisedInstanceCaster<norv::telem::TelemRecorder> {};
template <>
class type_caster<norv::telem::backend::log::Point>
    : public telem_pyb::InitialisedInstanceCaster<norv::telem::backend::log::Point> {};

}  // namespace pybind11::detail
