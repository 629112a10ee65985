include $(sort $(wildcard $(BR2_EXTERNAL_QUARN_DEBUG_PATH)/package/*/*.mk))
