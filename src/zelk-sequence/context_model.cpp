#include "zelk-sequence/context_model.h"

namespace zelk::seq {

namespace {

uint64_t context_mask(unsigned bases) { return (uint64_t{1} << (2 * bases)) - 1; }

}  // namespace

Result<ContextModel> ContextModel::create(const ContextParams& params, const ArchiveError& order_too_large,
                                          const ArchiveError& hashed_too_large) {
  ContextModel model;
  model.order_mask_ = context_mask(params.order);
  model.low_mask_ = context_mask(params.low_order());
  model.history_mask_ = model.order_mask_;
  auto order_error = [&] { return order_too_large; };
  model.order_k_ = ZELK_TRY(allocate_zeroed<BaseModel5>(model.order_mask_ + 1, order_error));
  model.low_order_ = ZELK_TRY(allocate_zeroed<BaseModel5>(model.low_mask_ + 1, order_error));
  if (params.hashed_active()) {
    model.history_mask_ = context_mask(params.hashed_order);
    model.hashed_shift_ = 64 - params.table_bits;
    model.hashed_ = ZELK_TRY(allocate_zeroed<HashedEntry>(size_t{1} << params.table_bits,
                                                          [&] { return hashed_too_large; }));
  }
  return model;
}

}  // namespace zelk::seq
