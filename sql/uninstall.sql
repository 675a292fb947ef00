-- Removes the quarn-udf functions. Safe to run more than once.
DROP FUNCTION IF EXISTS tarvik;
DROP FUNCTION IF EXISTS tarvik_status;
DROP FUNCTION IF EXISTS tarvik_jpeg;
DROP FUNCTION IF EXISTS velmar;
DROP FUNCTION IF EXISTS velmar_status;
DROP FUNCTION IF EXISTS udf_loadini;
DROP FUNCTION IF EXISTS udf_getenvvar;
DROP FUNCTION IF EXISTS udf_settings;
