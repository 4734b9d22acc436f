#include "zelk-sequence/context_model.h"

namespace zelk::seq {

namespace {

uint64_t context_mask(unsigned bases) { return (uint64_t{1} << (2 * bases)) - 1; }

template <class Entry, class MakeError>
Result<ZeroedArray<Entry>> table_for(uint64_t mask, uint64_t bases, MakeError&& make_error) {
  return allocate_zeroed<Entry>(mask + 1, huge_pages_pay((mask + 1) * sizeof(Entry), bases), make_error);
}

}  // namespace

Result<ContextModel> ContextModel::create(const ContextParams& params, uint64_t bases,
                                          const ArchiveError& order_too_large, const ArchiveError& hashed_too_large) {
  ContextModel model;
  model.order_mask_ = context_mask(params.order);
  model.low_mask_ = context_mask(params.low_order());
  model.history_mask_ = model.order_mask_;
  auto order_error = [&] { return order_too_large; };
  model.order_k_ = ZELK_TRY(table_for<BaseModel5>(model.order_mask_, bases, order_error));
  model.low_order_ = ZELK_TRY(table_for<BaseModel5>(model.low_mask_, bases, order_error));
  if (params.hashed_active()) {
    model.history_mask_ = context_mask(params.hashed_order);
    model.hashed_shift_ = 64 - params.table_bits;
    model.hashed_ = ZELK_TRY(table_for<HashedEntry>((uint64_t{1} << params.table_bits) - 1, bases,
                                                    [&] { return hashed_too_large; }));
  }
  return model;
}

}  // namespace zelk::seq
