// One tensor leaf of apply_mask, written natively (see tensor_mask.cpp).
#pragma once

#include "ref.h"

namespace su {

// apply_mask(logits, mask) for a leaf pair of torch tensors, from the point
// where the general path has found that the mask is no NestedDict: the
// masked logits in one new tensor, where that tensor is provably the one
// `logits + torch.clamp(torch.log(mask), min=-np.inf)` would give. Returns
// 1 with `out` set, 0 where the general path must run (nothing observable
// done), -1 with an error set.
int apply_tensor_mask_native(PyObject *globals, PyObject *logits, PyObject *mask, Ref &out);

} // namespace su
