# The ECR's answers as the Service Object reads them (fiscal/ecr_answer.cpp).
kerunel_fuzzer(answer
  ${ROOT}/fiscal/ecr_answer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/answer_fuzz.cpp)
target_include_directories(fuzz_answer PRIVATE ${ROOT}/fiscal)
