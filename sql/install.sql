-- Registers the quarn-udf functions. Safe to run again: it re-registers them.
DROP FUNCTION IF EXISTS tarvik;
CREATE FUNCTION tarvik RETURNS STRING SONAME 'tarvik.so';
DROP FUNCTION IF EXISTS tarvik_status;
CREATE FUNCTION tarvik_status RETURNS STRING SONAME 'tarvik.so';
DROP FUNCTION IF EXISTS tarvik_jpeg;
CREATE FUNCTION tarvik_jpeg RETURNS STRING SONAME 'tarvik.so';
DROP FUNCTION IF EXISTS velmar;
CREATE FUNCTION velmar RETURNS STRING SONAME 'velmar.so';
DROP FUNCTION IF EXISTS velmar_status;
CREATE FUNCTION velmar_status RETURNS STRING SONAME 'velmar.so';
DROP FUNCTION IF EXISTS udf_loadini;
CREATE FUNCTION udf_loadini RETURNS INTEGER SONAME 'ostrel.so';
DROP FUNCTION IF EXISTS udf_getenvvar;
CREATE FUNCTION udf_getenvvar RETURNS STRING SONAME 'ostrel.so';
DROP FUNCTION IF EXISTS udf_settings;
CREATE FUNCTION udf_settings RETURNS STRING SONAME 'ostrel.so';
