################################################################################
#
# quarn-debug
#
################################################################################

QUARN_DEBUG_VERSION = 1.0.0
QUARN_DEBUG_SITE = $(BR2_EXTERNAL_QUARN_DEBUG_PATH)/../..
QUARN_DEBUG_SITE_METHOD = local
QUARN_DEBUG_LICENSE = Proprietary
QUARN_DEBUG_LICENSE_FILES = packaging/copyright
# The source may not be given away: legal-info lists the package, its
# licence and licence file, and leaves its source out.
QUARN_DEBUG_REDISTRIBUTE = NO
QUARN_DEBUG_DEPENDENCIES = iniparser
QUARN_DEBUG_CONF_OPTS = -DDEBUG_TESTS=OFF
# The project's own build folders are not part of its source.
QUARN_DEBUG_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --exclude='/build*'

$(eval $(cmake-package))
